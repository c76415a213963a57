"""A recursive-descent parser and evaluator of arithmetic with variables."""

NUMBER, NAME, OP, END = "number", "name", "op", "end"


class ParseError(Exception):
    pass


class Token:
    __slots__ = ("kind", "text", "pos")

    def __init__(self, kind, text, pos):
        self.kind = kind
        self.text = text
        self.pos = pos


def tokenize(text):
    tokens = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c.isspace():
            i += 1
        elif c.isdigit() or c == ".":
            start = i
            while i < n and (text[i].isdigit() or text[i] == "."):
                i += 1
            tokens.append(Token(NUMBER, text[start:i], start))
        elif c.isalpha() or c == "_":
            start = i
            while i < n and (text[i].isalnum() or text[i] == "_"):
                i += 1
            tokens.append(Token(NAME, text[start:i], start))
        elif c in "+-*/%^(),":
            tokens.append(Token(OP, c, i))
            i += 1
        else:
            raise ParseError(f"unexpected {c!r} at {i}")
    tokens.append(Token(END, "", n))
    return tokens


class Parser:
    def __init__(self, text, names):
        self.tokens = tokenize(text)
        self.index = 0
        self.names = names

    def peek(self):
        return self.tokens[self.index]

    def take(self, text=None):
        token = self.tokens[self.index]
        if text is not None and token.text != text:
            raise ParseError(f"expected {text!r} at {token.pos}, found {token.text!r}")
        self.index += 1
        return token

    def expression(self):
        value = self.term()
        while self.peek().text in ("+", "-"):
            if self.take().text == "+":
                value = value + self.term()
            else:
                value = value - self.term()
        return value

    def term(self):
        value = self.power()
        while self.peek().text in ("*", "/", "%"):
            op = self.take().text
            right = self.power()
            if op == "*":
                value = value * right
            elif op == "/":
                value = value / right
            else:
                value = value % right
        return value

    def power(self):
        base = self.unary()
        if self.peek().text == "^":
            self.take()
            return base ** self.power()
        return base

    def unary(self):
        if self.peek().text == "-":
            self.take()
            return -self.unary()
        return self.atom()

    def atom(self):
        token = self.take()
        if token.kind == NUMBER:
            return float(token.text) if "." in token.text else int(token.text)
        if token.kind == NAME:
            if self.peek().text == "(":
                self.take("(")
                args = [self.expression()]
                while self.peek().text == ",":
                    self.take()
                    args.append(self.expression())
                self.take(")")
                return self.call(token, args)
            try:
                return self.names[token.text]
            except KeyError:
                raise ParseError(f"unknown name {token.text!r} at {token.pos}") from None
        if token.text == "(":
            value = self.expression()
            self.take(")")
            return value
        raise ParseError(f"unexpected {token.text!r} at {token.pos}")

    def call(self, token, args):
        if token.text == "max":
            return max(args)
        if token.text == "min":
            return min(args)
        if token.text == "abs" and len(args) == 1:
            return abs(args[0])
        raise ParseError(f"unknown function {token.text!r} at {token.pos}")

    def parse(self):
        value = self.expression()
        self.take("")
        return value


EXPRESSIONS = (
    "1 + 2 * 3 - 4 / 5",
    "max(a, b, 3) * (c - 2) ^ 2 % 7",
    "-(a + b) * -c + abs(d - 10.5)",
    "((1 + 2) * (3 + 4) - (5 - 6) * 7) / (a + 1)",
    "min(a * 2, b * 3, c + 4) + 2 ^ 3 ^ 2 - 1.25 * d",
    "a + b + c + d + 1 + 2 + 3 + 4 + 5 + 6 + 7 + 8",
    "x +",
    "unknown * 2",
)


def run(rounds):
    """Parses and evaluates every expression rounds times (two of them fail)."""
    total, errors = 0.0, 0
    for i in range(rounds):
        names = {"a": i % 7 + 1, "b": 3, "c": i % 5 + 2, "d": 1.5}
        for text in EXPRESSIONS:
            try:
                total += Parser(text, names).parse()
            except ParseError:
                errors += 1
    return round(total, 6), errors
