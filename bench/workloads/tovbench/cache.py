"""A least-recently-used cache kept in a dict's insertion order."""


class Cache:
    def __init__(self, capacity):
        self.capacity = capacity
        self.data = {}
        self.hits = 0
        self.misses = 0

    def get(self, key, default=None):
        try:
            value = self.data.pop(key)
        except KeyError:
            self.misses += 1
            return default
        self.data[key] = value
        self.hits += 1
        return value

    def put(self, key, value):
        if key in self.data:
            del self.data[key]
        elif len(self.data) >= self.capacity:
            del self.data[next(iter(self.data))]
        self.data[key] = value

    def __len__(self):
        return len(self.data)


def memoised(cache, function, key):
    value = cache.get(key)
    if value is None:
        value = function(key)
        cache.put(key, value)
    return value


def run(calls):
    """calls look-ups over a key space twice the cache's size."""
    cache = Cache(512)
    total = 0
    for i in range(calls):
        key = (i * 7919) % 1024 >> (i % 3)
        total += memoised(cache, lambda k: k * k + 1, key)
    return total, cache.hits, cache.misses, len(cache)
