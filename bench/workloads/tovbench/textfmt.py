"""Text formatting: a report of records in aligned columns, three ways."""

import zlib


def records(count):
    return [
        {"id": i, "name": f"item-{i:05d}", "price": i * 1.37 % 500, "qty": i * 7 % 113, "tags": ("a", "bb", "ccc")[: i % 4]}
        for i in range(count)
    ]


def line_fstring(r):
    return f"{r['id']:>6} | {r['name']:<12} | {r['price']:>10.2f} | {r['qty']:>4d} | {', '.join(r['tags'])}"


def line_format(r):
    return "{:>6} | {:<12} | {:>10.2f} | {:>4d} | {}".format(r["id"], r["name"], r["price"], r["qty"], ", ".join(r["tags"]))


def line_percent(r):
    return "%6d | %-12s | %10.2f | %4d | %s" % (r["id"], r["name"], r["price"], r["qty"], ", ".join(r["tags"]))


def report(rows):
    width = max(len(r["name"]) for r in rows)
    out = ["ID".rjust(6) + " | " + "NAME".ljust(width) + " | " + "PRICE".rjust(10)]
    out.append("-" * len(out[0]))
    total = 0.0
    for i, r in enumerate(rows):
        style = i % 3
        if style == 0:
            out.append(line_fstring(r))
        elif style == 1:
            out.append(line_format(r))
        else:
            out.append(line_percent(r))
        total += r["price"] * r["qty"]
    out.append(f"total: {total:,.2f}".rjust(len(out[0])))
    return "\n".join(out).upper().replace("ITEM", "Item")


def run(count):
    text = report(records(count))
    return len(text), text.count("\n"), zlib.crc32(text.encode())
