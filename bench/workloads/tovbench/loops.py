"""Float and integer loops: an escape-time fractal, a sieve, digit sums."""


def mandelbrot(size, limit=50):
    inside = 0
    for row in range(size):
        ci = 2.0 * row / size - 1.0
        for col in range(size):
            cr = 3.0 * col / size - 2.0
            zr = zi = 0.0
            n = 0
            while n < limit and zr * zr + zi * zi <= 4.0:
                zr, zi = zr * zr - zi * zi + cr, 2.0 * zr * zi + ci
                n += 1
            if n == limit:
                inside += 1
    return inside


def sieve(limit):
    flags = [True] * (limit + 1)
    flags[0] = flags[1] = False
    p = 2
    while p * p <= limit:
        if flags[p]:
            for multiple in range(p * p, limit + 1, p):
                flags[multiple] = False
        p += 1
    return sum(flags)


def digit_sums(count):
    total = 0
    for n in range(count):
        while n:
            total += n % 10
            n //= 10
    return total


def run(scale):
    return mandelbrot(scale), sieve(scale * 200), digit_sums(scale * 200)
