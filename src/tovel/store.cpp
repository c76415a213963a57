// tovel.store: the record of Cython's translations. Each is kept in the
// local cache folder and, when a team shares one, in its store beside
// ccache's remote storage for the C objects, at the same URL (redis:// or
// http(s)://, the protocols ccache speaks). Every entry is verified by its
// sha256 when read: a damaged one counts as missing, so it is built anew and
// written again.
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

// ---------------------------------------------------------------- the record

// A record kind: "cython" (the translations, .c files) or a verdict of the
// build's checks, in folders of their own; in the team's store the kind
// prefixes the key.
static nb::object local_entry(nb::handle cache, nb::str kind, nb::str key) {
    bool c = kind.equal(nb::str("cython"));
    return mine("Path")(cache).attr("joinpath")(kind, key.attr("__getitem__")(builtin("slice")(0, 2)),
                                                c ? nb::str(key + nb::str(".c")) : key);
}

static nb::str remote_key(nb::str kind, nb::str key) {
    return kind.equal(nb::str("cython")) ? key : nb::str(kind + nb::str("-") + key);
}

static nb::str sha256(nb::handle data) {
    return nb::str(mine("hashlib").attr("sha256")(data).attr("hexdigest")());
}

/// Stores a translation (or a check's verdict, by `kind`) in the local record
/// (atomically: a reader never sees half an entry) and, when `remote` names
/// one, in the team's store.
static void keep(nb::handle cache, nb::handle remote, nb::str key, nb::bytes data, bool share, nb::str kind) {
    if (share && !remote.is_none())
        put(nb::str(remote), remote_key(kind, key), data);
    nb::object os = mine("os"), entry = local_entry(cache, kind, key);
    try {
        entry.attr("parent").attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
        nb::object tmp = entry.attr("with_name")(
            nb::str("{}.{}.{}.tmp").format(entry.attr("name"), os.attr("getpid")(), mine("threading").attr("get_ident")()));
        tmp.attr("write_bytes")(data);
        os.attr("replace")(tmp, entry);
        tmp.attr("write_text")(sha256(data));
        os.attr("replace")(tmp, nb::str(os.attr("fspath")(entry)) + nb::str(".sha256"));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError))
            throw;
    }
}

/// The translation (or verdict, by `kind`) recorded under `key`: the local
/// record first, then the team's store (kept locally when found there); None
/// when neither has a sound entry.
static nb::object lookup(nb::handle cache, nb::handle remote, nb::str key, nb::str kind) {
    nb::object entry = local_entry(cache, kind, key);
    nb::object sum = entry.attr("with_name")(nb::str(entry.attr("name")) + nb::str(".sha256"));
    try {
        if (truthy(entry.attr("is_file")()) && truthy(sum.attr("is_file")())) {
            nb::object data = entry.attr("read_bytes")();
            if (sum.attr("read_text")().equal(sha256(data)))
                return data;
        }
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError))
            throw;
    }
    if (remote.is_none())
        return nb::none();
    nb::object data = fetch(nb::str(remote), remote_key(kind, key));
    if (!data.is_none())
        keep(cache, remote, key, nb::bytes(data), false, kind);
    return data;
}

TOVEL_MODULE(store, m) {
    for (const char *name : {"hashlib", "os", "socket", "threading"})
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
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.def("lookup", &lookup, "cache"_a, "remote"_a.none(), "key"_a, "kind"_a = "cython",
          "The record of a kind (a translation by default) under key, locally or in the team's store; "
          "None when missing.");
    m.def("keep", &keep, "cache"_a, "remote"_a.none(), "key"_a, "data"_a, "share"_a = true, "kind"_a = "cython",
          "Record data of a kind (a translation by default) locally and, with a remote store, in it.");
}
