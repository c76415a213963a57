"""Shapes of real packages that no one tuned for: an object of many
attributes (assembled from mixins) scanned through `self.peek()`,
`self.forward()` and `self.buffer[self.pointer]`; a table that is a class
attribute read through `self`; a pipeline of nested generators with `try`."""


class Reader:
    def __init__(self, text):
        self.buffer = text + "\0"
        self.pointer = 0
        self.index = 0
        self.line = 0
        self.column = 0

    def peek(self, index=0):
        try:
            return self.buffer[self.pointer + index]
        except IndexError:
            return "\0"

    def prefix(self, length=1):
        return self.buffer[self.pointer:self.pointer + length]

    def forward(self, length=1):
        while length:
            ch = self.buffer[self.pointer]
            self.pointer += 1
            self.index += 1
            if ch == "\n":
                self.line += 1
                self.column = 0
            else:
                self.column += 1
            length -= 1


class Scanner:
    def __init__(self):
        self.done = False
        self.flow_level = 0
        self.tokens = []
        self.tokens_taken = 0
        self.indent = -1
        self.indents = []
        self.allow_simple_key = True
        self.possible_simple_keys = {}

    def scan_word(self):
        start = self.pointer
        ch = self.peek()
        while "a" <= ch <= "z" or "0" <= ch <= "9" or ch == "_":
            self.forward()
            ch = self.peek()
        self.tokens.append(("word", self.buffer[start:self.pointer], self.line, self.column))
        self.tokens_taken += 1

    def scan_space(self):
        while self.buffer[self.pointer] in " \n":
            self.forward()

    def scan(self):
        while self.peek() != "\0":
            ch = self.peek()
            if ch in " \n":
                self.scan_space()
            elif "a" <= ch <= "z" or "0" <= ch <= "9" or ch == "_":
                self.scan_word()
            else:
                self.tokens.append(("mark", ch, self.line, self.column))
                self.forward()
        return self.tokens


class Resolver:
    def __init__(self):
        self.resolvers = {}
        self.resolver_exact_paths = []
        self.resolver_prefix_paths = []
        self.yaml_path_resolvers = {}
        self.tag_prefixes = {}
        self.anchors = {}
        self.last_anchor_id = 0
        self.serialized_nodes = {}
        self.constructed_objects = {}
        self.recursive_objects = {}
        self.state_generators = []
        self.deep_construct = False


class Loader(Reader, Scanner, Resolver):
    """35 attributes: past 30, CPython 3.12 gives the instance a dict."""

    def __init__(self, text):
        Reader.__init__(self, text)
        Scanner.__init__(self)
        Resolver.__init__(self)
        for i in range(35 - len(vars(self))):
            setattr(self, f"extra_{i}", i)


def scanner(n):
    words = ["alpha", "beta_2", "gamma", "x", "delta99", "(", "epsilon", ",", "zeta"]
    text = " ".join(words[i % len(words)] for i in range(200)) + "\n"
    count = 0
    for _ in range(n):
        loader = Loader(text)
        count += len(loader.scan()) + loader.line + loader.column
    return count


class Table:
    T1 = [(i * 7) & 0xFF for i in range(256)]
    T2 = [(i * 13 + 5) & 0xFF for i in range(256)]

    def __init__(self, key):
        self.key = key
        self.rounds = 4

    def transform(self, data):
        out = []
        k = self.key
        for r in range(self.rounds):
            for x in data:
                k = self.T1[(x ^ k) & 0xFF] ^ self.T2[k]
                out.append(k)
            data = out[-len(data):]
        return k, len(out)


def table(n):
    data = [(i * 31) & 0xFF for i in range(64)]
    total = 0
    for i in range(n):
        total += Table(i).transform(data)[0]
    return total


def numbers(n):
    for i in range(n):
        try:
            yield i * 3 % 17
        finally:
            pass


def pairs(source):
    for value in source:
        try:
            yield value, value + 1
        except ValueError:
            return


def encode(items):
    for a, b in items:
        if a % 2:
            yield "%d:%d" % (a, b)
        else:
            yield from ("e", str(a))


def pipeline(n):
    total = 0
    for _ in range(n):
        total += sum(len(part) for part in encode(pairs(numbers(200))))
    return total


def run(n):
    return scanner(n), table(n), pipeline(n)
