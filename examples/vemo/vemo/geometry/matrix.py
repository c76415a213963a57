"""A small dense matrix of floats: products, transpose, determinant, inverse."""


class Matrix:
    def __init__(self, rows):
        rows = [[float(v) for v in row] for row in rows]
        if not rows or any(len(row) != len(rows[0]) for row in rows) or not rows[0]:
            raise ValueError("a matrix needs rows of one non-zero length")
        self.rows = rows

    @classmethod
    def identity(cls, n):
        return cls([[1.0 if i == j else 0.0 for j in range(n)] for i in range(n)])

    @property
    def shape(self):
        return len(self.rows), len(self.rows[0])

    def __eq__(self, other):
        return isinstance(other, Matrix) and self.rows == other.rows

    def __matmul__(self, other):
        n, k = self.shape
        k2, m = other.shape
        if k != k2:
            raise ValueError(f"cannot multiply {n}x{k} by {k2}x{m}")
        cols = other.transpose().rows
        return Matrix([[sum(a * b for a, b in zip(row, col)) for col in cols]
                       for row in self.rows])

    def transpose(self):
        return Matrix([list(col) for col in zip(*self.rows)])

    def determinant(self):
        """By Gaussian elimination with partial pivoting."""
        n, m = self.shape
        if n != m:
            raise ValueError("only a square matrix has a determinant")
        a = [row[:] for row in self.rows]
        det = 1.0
        for c in range(n):
            p = max(range(c, n), key=lambda r: abs(a[r][c]))
            if a[p][c] == 0.0:
                return 0.0
            if p != c:
                a[c], a[p] = a[p], a[c]
                det = -det
            det *= a[c][c]
            for r in range(c + 1, n):
                f = a[r][c] / a[c][c]
                for j in range(c, n):
                    a[r][j] -= f * a[c][j]
        return det

    def inverse(self):
        """By Gauss-Jordan elimination; a singular matrix raises ValueError."""
        n, m = self.shape
        if n != m:
            raise ValueError("only a square matrix has an inverse")
        a = [row[:] + [1.0 if i == j else 0.0 for j in range(n)] for i, row in enumerate(self.rows)]
        for c in range(n):
            p = max(range(c, n), key=lambda r: abs(a[r][c]))
            if abs(a[p][c]) < 1e-12:
                raise ValueError("the matrix is singular")
            a[c], a[p] = a[p], a[c]
            pivot = a[c][c]
            a[c] = [v / pivot for v in a[c]]
            for r in range(n):
                if r != c:
                    f = a[r][c]
                    a[r] = [v - f * w for v, w in zip(a[r], a[c])]
        return Matrix([row[n:] for row in a])

    def __repr__(self):
        return f"Matrix({self.rows!r})"
