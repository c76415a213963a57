"""Word and sentence statistics of a text."""

import re
from collections import Counter

_WORD = re.compile(r"[^\W\d_]+(?:['-][^\W\d_]+)*")
_SENTENCE_END = re.compile(r"[.!?]+(?:\s+|$)")


def words(text):
    """The words of `text`, lower-cased, in order."""
    return [w.lower() for w in _WORD.findall(text)]


def word_counts(text):
    """A Counter of the lower-cased words of `text`."""
    return Counter(words(text))


class TextStats:
    """Counts of a text: words, distinct words, sentences, mean word length."""

    def __init__(self, text):
        self.text = text
        self._words = words(text)

    @property
    def word_count(self):
        return len(self._words)

    @property
    def distinct(self):
        return len(set(self._words))

    @property
    def sentences(self):
        parts = [p for p in _SENTENCE_END.split(self.text) if p.strip()]
        return len(parts)

    @property
    def mean_word_length(self):
        if not self._words:
            return 0.0
        return sum(len(w) for w in self._words) / len(self._words)

    def most_common(self, n=3):
        """The `n` most frequent words with their counts; ties in order of first use."""
        return Counter(self._words).most_common(n)

    def __repr__(self):
        return (f"TextStats(words={self.word_count}, distinct={self.distinct}, "
                f"sentences={self.sentences}, mean_word_length={self.mean_word_length:.2f})")
