// tovel.store: the record of Cython's translations, of the C objects
// compiled from them and of the checks' verdicts. Each is kept in the local
// cache folder and, when a team shares one, in its store (redis:// or
// http(s)://). ccache keeps local storage only: its remote requests could be
// neither bounded in time nor signed.
//
// Trust: a client only reads the store unless TOVEL_REMOTE_CACHE_WRITE is
// set (the CI that fills it). With a team key (TOVEL_REMOTE_CACHE_KEY, or
// the file TOVEL_REMOTE_CACHE_KEY_FILE names) every entry carries an
// HMAC-SHA256 of its name and data; a reader with the key ignores an entry
// without a valid one. Without a key an entry carries its sha256 only, which
// catches damage, not a writer: verdicts are then never read from the store.
// Each request (tovel.wire) has a total deadline and a size limit; a store
// that misses either (or fails) is dropped for the rest of the build, with
// one warning.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.store";

static nb::object mine(const char *name) { return global(MOD, name); }

static nb::object slice(long a, long b) { return builtin("slice")(a, b); }

// ---------------------------------------------------------------- the store of a build

// The team key from the environment: the key itself, or a file holding it.
static nb::object team_key() {
    nb::object environ = mine("os").attr("environ");
    nb::object key = get(environ, "TOVEL_REMOTE_CACHE_KEY", nb::str(""));
    if (nb::len(key))
        return key.attr("encode")();
    nb::object file = get(environ, "TOVEL_REMOTE_CACHE_KEY_FILE", nb::str(""));
    if (!nb::len(file))
        return nb::none();
    nb::object data;
    try {
        data = mine("Path")(file).attr("read_bytes")().attr("strip")();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError))
            throw;
        build_failed(nb::str("TOVEL_REMOTE_CACHE_KEY_FILE names {}, which cannot be read: {}")
                         .format(file, e.value().attr("strerror")));
    }
    if (!nb::len(data))
        build_failed(nb::str("TOVEL_REMOTE_CACHE_KEY_FILE names {}, which is empty").format(file));
    return data;
}

static bool enabled(const char *name) {
    nb::str value(nb::str(get(mine("os").attr("environ"), name, nb::str(""))).attr("strip")().attr("lower")());
    return nb::len(value) && !truthy(nb::make_tuple("0", "no", "false", "off").attr("__contains__")(value));
}

// Why a request failed, in a few printable words: what a store sent may be
// anything.
static nb::str reason(nb::python_error &e) {
    nb::str said(e.value());
    if (!nb::len(said))
        said = nb::str(e.type().attr("__name__"));
    return nb::str(mine("wire").attr("printable")(said, 80));
}

// Drops the store for the rest of the build, with one warning.
static void drop(nb::dict store, nb::python_error &e) {
    nb::str why = nb::str(e.matches(PyExc_TimeoutError) ? "missed its deadline ({})" : "failed ({})").format(reason(e));
    nb::object lock = store["lock"];
    lock.attr("acquire")();
    bool first = store["dropped"].is_none();
    if (first)
        store["dropped"] = why;
    lock.attr("release")();
    if (first)
        print(nb::str("warning: the remote cache {} {}: building with the local cache only")
                  .format(store["url"], why), "flush"_a = true);
}

/// The store at `url` for one build: {url, write, key, deadline, ...}, or
/// None (after one warning) when it does not answer its first request.
static nb::object connect(nb::str url) {
    nb::dict store;
    // Attributes after '|' are in ccache's syntax (read-only=...): not tov's.
    store["url"] = url.attr("split")("|")[0];
    store["write"] = enabled("TOVEL_REMOTE_CACHE_WRITE");
    store["key"] = team_key();
    double deadline = nb::cast<double>(mine("DEADLINE"));
    nb::object asked = get(mine("os").attr("environ"), "TOVEL_REMOTE_CACHE_DEADLINE", nb::none());
    if (!asked.is_none()) {
        try {
            deadline = nb::cast<double>(builtin("float")(asked));
        } catch (nb::python_error &e) {
            if (!ordinary(e))
                throw;
            deadline = -1;
        }
        if (!(deadline > 0))
            build_failed(nb::str("TOVEL_REMOTE_CACHE_DEADLINE is {!r}: a number of seconds above 0").format(asked));
    }
    store["deadline"] = deadline;
    store["dropped"] = nb::none();
    store["warned"] = false;
    store["lock"] = mine("threading").attr("Lock")();
    try {
        mine("wire").attr("request")(nb::str(store["url"]), nb::str("probe"), nb::none(), deadline);
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        print(nb::str("warning: the remote cache {} does not answer ({}): building with the local cache only")
                  .format(store["url"], reason(e)));
        return nb::none();
    }
    return store;
}

/// None when the store at `url` answers; otherwise why not, in a few words.
static nb::object probe(nb::str url) {
    try {
        mine("wire").attr("request")(url, nb::str("probe"), nb::none(), nb::cast<double>(mine("DEADLINE")));
        return nb::none();
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        return reason(e);
    }
}

// The signature of an entry: its name and its data under the team key.
static nb::str signature(nb::handle key, nb::str name, nb::handle data) {
    nb::object mac = mine("hmac").attr("new")(key, nb::bytes("tovel-store-1\0", 14) + name.attr("encode")() +
                                                       nb::bytes("\0", 1), "sha256");
    mac.attr("update")(data);
    return nb::str(mac.attr("hexdigest")());
}

static nb::str sha256(nb::handle data) {
    return nb::str(mine("hashlib").attr("sha256")(data).attr("hexdigest")());
}

/// The data the store holds under `key`, or None when it is missing,
/// damaged, unsigned (with a team key) or the store does not answer.
static nb::object fetch(nb::dict store, nb::str key) {
    if (!store["dropped"].is_none())
        return nb::none();
    nb::object raw;
    try {
        raw = mine("wire").attr("request")(nb::str(store["url"]), key, nb::none(), nb::cast<double>(store["deadline"]));
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        drop(store, e);
        return nb::none();
    }
    if (raw.is_none())
        return nb::none();
    nb::object parts = raw.attr("partition")(nb::bytes("\n"));
    nb::object data = parts[2];
    nb::list head(nb::bytes(parts[0]).attr("decode")("ascii", "replace").attr("split")());
    if (!nb::len(head) || !head[0].equal(sha256(data)))
        return nb::none(); // damaged: built anew
    nb::object team = store["key"];
    if (team.is_none())
        return data;
    nb::str want(nb::str("hmac-sha256=") + signature(team, key, data));
    if (nb::len(head) == 2 && truthy(mine("hmac").attr("compare_digest")(nb::str(head[1]), want)))
        return data;
    nb::object lock = store["lock"];
    lock.attr("acquire")();
    bool first = !truthy(store["warned"]);
    store["warned"] = true;
    lock.attr("release")();
    if (first)
        print(nb::str("warning: the remote cache {} holds entries without a valid signature of the team key "
                      "(first: {}): ignored, built here")
                  .format(store["url"], key), "flush"_a = true);
    return nb::none();
}

/// Stores `data` under `key` when this client writes to the store, signed
/// with the team key when there is one; False when nothing was stored.
static bool put(nb::dict store, nb::str key, nb::bytes data) {
    // An entry past the limit would be refused by every reader.
    if (!truthy(store["write"]) || !store["dropped"].is_none() || truthy(builtin("len")(data).attr("__gt__")(mine("wire").attr("LIMIT"))))
        return false;
    nb::str head = sha256(data);
    if (!store["key"].is_none())
        head = nb::str("{} hmac-sha256={}").format(head, signature(store["key"], key, data));
    try {
        mine("wire").attr("request")(nb::str(store["url"]), key, head.attr("encode")() + nb::bytes("\n") + data,
                nb::cast<double>(store["deadline"]));
        return true;
    } catch (nb::python_error &e) {
        if (!ordinary(e))
            throw;
        drop(store, e);
        return false;
    }
}

// ---------------------------------------------------------------- the record

// A record kind: "cython" (the translations, .c files), "object" (the C
// objects) or a verdict of the build's checks, in folders of their own; in
// the team's store the kind prefixes the key.
static nb::object local_entry(nb::handle cache, nb::str kind, nb::str key) {
    bool c = kind.equal(nb::str("cython"));
    return mine("Path")(cache).attr("joinpath")(kind, key.attr("__getitem__")(slice(0, 2)),
                                                c ? nb::str(key + nb::str(".c")) : key);
}

static nb::str remote_key(nb::str kind, nb::str key) {
    return kind.equal(nb::str("cython")) ? key : nb::str(kind + nb::str("-") + key);
}

// A verdict waives a check: from the store, only a signed one may. What
// ships (translations, objects) is signed when there is a key.
static bool shared(nb::handle remote, nb::str kind) {
    return !remote.is_none() &&
           (kind.equal(nb::str("cython")) || kind.equal(nb::str("object")) || !remote["key"].is_none());
}

/// Stores a translation (or a check's verdict, by `kind`) in the local record
/// (atomically: a reader never sees half an entry) and, when `remote` is a
/// store this client writes to, in it.
static void keep(nb::handle cache, nb::handle remote, nb::str key, nb::bytes data, bool share, nb::str kind) {
    if (share && shared(remote, kind))
        put(nb::borrow<nb::dict>(remote), remote_key(kind, key), data);
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
/// when neither has a sound entry. Verdicts come from the store only when
/// they are signed.
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
    if (!shared(remote, kind))
        return nb::none();
    nb::object data = fetch(nb::borrow<nb::dict>(remote), remote_key(kind, key));
    if (!data.is_none())
        keep(cache, remote, key, nb::bytes(data), false, kind);
    return data;
}

TOVEL_MODULE(store, m) {
    for (const char *name : {"hashlib", "hmac", "os", "threading"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("wire") = nb::module_::import_("tovel.wire");
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    // Seconds a request may take in all (TOVEL_REMOTE_CACHE_DEADLINE): a
    // store slower than that is no help to a build.
    m.attr("DEADLINE") = 3.0;
    m.def("connect", &connect, "url"_a,
          "The store at url for one build (write, key, deadline from the environment); None when it does not answer.");
    m.def("probe", &probe, "url"_a, "None when the store answers, else why not.");
    m.def("fetch", &fetch, "store"_a, "key"_a,
          "The data stored under key, or None (missing, damaged, unsigned, or no answer).");
    m.def("put", &put, "store"_a, "key"_a, "data"_a,
          "Store data under key when this client writes; False when nothing was stored.");
    m.def("lookup", &lookup, "cache"_a, "remote"_a.none(), "key"_a, "kind"_a = "cython",
          "The record of a kind (a translation by default) under key, locally or in the team's store; "
          "None when missing.");
    m.def("keep", &keep, "cache"_a, "remote"_a.none(), "key"_a, "data"_a, "share"_a = true, "kind"_a = "cython",
          "Record data of a kind (a translation by default) locally and, with a remote store, in it.");
}
