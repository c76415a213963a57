// tovel.store: the store a team shares for Cython's translations, beside
// ccache's remote storage for the C objects, at the same URL (redis:// or
// http(s)://, the protocols ccache speaks). Each entry holds the sha256 of its
// data before the data: an entry that does not match is treated as missing,
// so a damaged one is built anew and written again.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.store";

static nb::object mine(const char *name) { return global(MOD, name); }

// Seconds a request may take: a store that answers slower than that is no
// help to a build.
static const double TIMEOUT = 5.0;

static bool is_redis(nb::str url) { return truthy(url.attr("startswith")("redis://")); }

// ---------------------------------------------------------------- redis

// One RESP command as bytes.
static nb::object command(std::initializer_list<nb::object> words) {
    nb::object out = builtin("bytearray")();
    out.attr("extend")(nb::str("*{}\r\n").format(words.size()).attr("encode")());
    for (const nb::object &w : words) {
        nb::object data = nb::isinstance<nb::str>(w) ? w.attr("encode")() : w;
        out.attr("extend")(nb::str("${}\r\n").format(builtin("len")(data)).attr("encode")());
        out.attr("extend")(data);
        out.attr("extend")(nb::bytes("\r\n"));
    }
    return out;
}

// One reply: its payload, None for a missing value; an error reply raises OSError.
static nb::object reply(nb::handle f) {
    nb::bytes line(f.attr("readline")());
    if (nb::len(line) < 3) {
        PyErr_SetString(PyExc_OSError, "redis: the connection closed");
        throw nb::python_error();
    }
    char kind = line.c_str()[0];
    nb::object rest = line.attr("__getitem__")(builtin("slice")(1, -2));
    if (kind == '-') {
        PyErr_SetObject(PyExc_OSError, nb::str("redis: {}").format(rest.attr("decode")("utf-8", "replace")).ptr());
        throw nb::python_error();
    }
    if (kind != '$')
        return rest;
    long n = nb::cast<long>(builtin("int")(rest));
    if (n < 0)
        return nb::none();
    return f.attr("read")(n + 2).attr("__getitem__")(builtin("slice")(0, n));
}

// A command on a fresh connection to the server of a redis:// URL
// (redis://[[USER:]PASSWORD@]HOST[:PORT][/DB], as ccache reads it): AUTH
// and SELECT go first when the URL asks for them.
static nb::object redis(nb::str url, nb::object cmd) {
    nb::object parts = mine("urlsplit")(url);
    nb::object host = parts.attr("hostname"), port = parts.attr("port");
    nb::object sock = mine("socket").attr("create_connection")(
        nb::make_tuple(host.is_none() ? nb::object(nb::str("localhost")) : host,
                       port.is_none() ? nb::object(nb::int_(6379)) : port),
        TIMEOUT);
    try {
        nb::list sent;
        if (!parts.attr("password").is_none())
            sent.append(parts.attr("username").is_none()
                            ? command({nb::str("AUTH"), parts.attr("password")})
                            : command({nb::str("AUTH"), parts.attr("username"), parts.attr("password")}));
        nb::str db(nb::str(parts.attr("path")).attr("strip")("/"));
        if (nb::len(db))
            sent.append(command({nb::str("SELECT"), db}));
        sent.append(cmd);
        sock.attr("sendall")(nb::bytes("").attr("join")(sent));
        nb::object f = sock.attr("makefile")("rb");
        nb::object result = nb::none();
        for (size_t i = 0; i < nb::len(sent); ++i)
            result = reply(f);
        f.attr("close")();
        sock.attr("close")();
        return result;
    } catch (...) {
        sock.attr("close")();
        throw;
    }
}

// ---------------------------------------------------------------- http

static nb::object http(nb::str url, const char *method, nb::object data) {
    nb::object request = mine("Request")(url, "data"_a = data, "method"_a = method);
    try {
        nb::object reply = mine("urlopen")(request, "timeout"_a = TIMEOUT);
        nb::object body = reply.attr("read")();
        reply.attr("close")();
        return body;
    } catch (nb::python_error &e) {
        // A missing entry is an answer, not a fault of the store.
        if (e.matches(mine("HTTPError")) && e.value().attr("code").equal(nb::int_(404)))
            return nb::none();
        throw;
    }
}

static nb::str entry_url(nb::str url, nb::str key) {
    return nb::str("{}/tovel/{}").format(url.attr("rstrip")("/"), key);
}

// ---------------------------------------------------------------- operations

/// None when the store at `url` answers; otherwise why not, in a few words.
static nb::object probe(nb::str url) {
    try {
        if (is_redis(url))
            redis(url, command({nb::str("PING")}));
        else if (truthy(url.attr("startswith")("http://")) || truthy(url.attr("startswith")("https://")))
            http(entry_url(url, nb::str("probe")), "GET", nb::none());
        else
            return nb::str("tovel speaks redis:// and http(s):// only");
        return nb::none();
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        return nb::str(e.value());
    }
}

/// The data stored under `key`, or None when it is missing, damaged or the
/// store does not answer.
static nb::object fetch(nb::str url, nb::str key) {
    nb::object raw;
    try {
        raw = is_redis(url) ? redis(url, command({nb::str("GET"), nb::str("tovel:") + key}))
                            : http(entry_url(url, key), "GET", nb::none());
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        return nb::none();
    }
    if (raw.is_none())
        return nb::none();
    nb::object parts = raw.attr("partition")(nb::bytes("\n"));
    nb::object data = parts[2];
    nb::object sum = mine("hashlib").attr("sha256")(data).attr("hexdigest")().attr("encode")();
    if (!parts[0].equal(sum))
        return nb::none();
    return data;
}

/// Stores `data` under `key`; a store that fails is left alone (the build
/// has the result already).
static bool put(nb::str url, nb::str key, nb::bytes data) {
    nb::object sum = mine("hashlib").attr("sha256")(data).attr("hexdigest")().attr("encode")();
    nb::object value = sum + nb::bytes("\n") + data;
    try {
        if (is_redis(url))
            redis(url, command({nb::str("SET"), nb::str("tovel:") + key, value}));
        else
            http(entry_url(url, key), "PUT", value);
        return true;
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        return false;
    }
}

TOVEL_MODULE(store, m) {
    for (const char *name : {"hashlib", "socket"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("urlsplit") = nb::module_::import_("urllib.parse").attr("urlsplit");
    nb::module_ request = nb::module_::import_("urllib.request");
    m.attr("Request") = request.attr("Request");
    m.attr("urlopen") = request.attr("urlopen");
    m.attr("HTTPError") = nb::module_::import_("urllib.error").attr("HTTPError");
    m.def("probe", &probe, "url"_a, "None when the store answers, else why not.");
    m.def("fetch", &fetch, "url"_a, "key"_a,
          "The data stored under key, or None (missing, damaged, or no answer).");
    m.def("put", &put, "url"_a, "key"_a, "data"_a, "Store data under key; False when the store failed.");
}
