// tovel.wire: requests to a team's store (redis:// or http(s)://), each
// within a total deadline however its answer arrives (a watchdog shuts the
// socket when the time is up, so a server that trickles its answer a byte at
// a time cannot stretch a request) and within a size limit per entry, checked
// before the entry is read. What a store sends is quoted in printable form.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.wire";

static nb::object mine(const char *name) { return global(MOD, name); }

static bool is_redis(nb::str url) { return truthy(url.attr("startswith")("redis://")); }

static nb::object slice(long a, long b) { return builtin("slice")(a, b); }

[[noreturn]] static void os_error(nb::handle type, nb::handle message) {
    PyErr_SetObject(type.ptr(), message.ptr());
    throw nb::python_error();
}

/// `what` (text or bytes a store sent) escaped to printable ASCII and cut to
/// `width` characters.
static nb::str printable(nb::handle what, size_t width) {
    nb::object t = nb::isinstance<nb::bytes>(what) ? what.attr("decode")("utf-8", "replace") : nb::object(nb::str(what));
    // Control characters as \xNN, the rest of what is not ASCII as \xNN,
    // \uNNNN: printable text stays as it is, so quoting twice changes nothing.
    nb::dict controls;
    for (int c = 0; c < 32; ++c)
        controls[nb::int_(c)] = nb::str("\\x{:02x}").format(c);
    controls[nb::int_(127)] = "\\x7f";
    nb::str shown(t.attr("translate")(controls).attr("encode")("ascii", "backslashreplace").attr("decode")("ascii"));
    if (nb::len(shown) > width)
        shown = nb::str(shown.attr("__getitem__")(slice(0, (long) width - 3)) + nb::str("..."));
    return shown;
}

// An entry larger than the limit is refused before it is read (`more`: the
// size is only known to pass the limit).
static void within_limit(nb::handle size, bool more = false) {
    nb::object limit = mine("LIMIT");
    if (truthy(size.attr("__gt__")(limit)))
        os_error(PyExc_OSError, nb::str("it sent an entry of {}{} bytes, above the limit of {} bytes")
                                    .format(more ? "more than " : "", more ? limit : nb::object(nb::borrow(size)), limit));
}

// ---------------------------------------------------------------- deadline

// A request's clock: every step gets what is left of the deadline, and a
// watchdog shuts the socket when it runs out.
struct Clock {
    double deadline, end;
    nb::object timer = nb::none();
    nb::list fired, target; // target: the socket the watchdog shuts
    explicit Clock(double seconds) : deadline(seconds), end(now() + seconds) {}
    static double now() { return nb::cast<double>(global(MOD, "time").attr("monotonic")()); }
    double left() {
        double l = end - now();
        if (l <= 0)
            expired();
        return l;
    }
    [[noreturn]] void expired() {
        os_error(PyExc_TimeoutError, nb::str("no answer within {} s").format(deadline));
    }
    // Watches `sock` (again: the TLS socket that took over a plain one).
    void watch(nb::object sock) {
        if (nb::len(target)) {
            target[0] = sock;
            return;
        }
        target.append(sock);
        nb::list flag = fired, on = target;
        nb::object shut = nb::cpp_function([on, flag]() {
            flag.attr("append")(true);
            try {
                // The plain socket's shutdown, also under TLS: it wakes a read
                // blocked in another thread.
                global(MOD, "socket").attr("socket").attr("shutdown")(on[0], global(MOD, "socket").attr("SHUT_RDWR"));
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_OSError))
                    throw;
            }
        });
        timer = mine("threading").attr("Timer")(left(), shut);
        timer.attr("daemon") = true;
        timer.attr("start")();
    }
    // After the request (or its failure): a request the watchdog cut short
    // failed by the deadline, whatever error the cut caused.
    void stop() {
        if (!timer.is_none())
            timer.attr("cancel")();
        if (nb::len(fired))
            expired();
    }
};

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
// The header line is read to 1 KiB at most, a value only within the limit.
static nb::object reply(nb::handle f) {
    nb::bytes line(f.attr("readline")(1024));
    if (nb::len(line) < 3)
        os_error(PyExc_OSError, nb::str("redis: the connection closed"));
    nb::object rest = line.attr("__getitem__")(slice(1, -2));
    char kind = line.c_str()[0];
    if (!truthy(line.attr("endswith")(nb::bytes("\r\n"))) || !truthy(nb::bytes("+-:$").attr("__contains__")(line.attr("__getitem__")(slice(0, 1)))))
        os_error(PyExc_OSError, nb::str("redis: a reply that is not redis's: '{}'").format(printable(line, 40)));
    if (kind == '-')
        os_error(PyExc_OSError, nb::str("redis: '{}'").format(printable(rest, 40)));
    if (kind != '$')
        return rest;
    nb::object n;
    try {
        n = builtin("int")(rest);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        os_error(PyExc_OSError, nb::str("redis: a length that is not a number: '{}'").format(printable(rest, 40)));
    }
    if (truthy(n.attr("__lt__")(0)))
        return nb::none();
    within_limit(n);
    size_t size = nb::cast<size_t>(n);
    nb::object data = f.attr("read")(size + 2);
    if (nb::len(data) < size + 2)
        os_error(PyExc_OSError, nb::str("redis: the connection closed"));
    return data.attr("__getitem__")(slice(0, (long) size));
}

// A command on a fresh connection to the server of a redis:// URL
// (redis://[[USER:]PASSWORD@]HOST[:PORT][/DB], as ccache reads it): AUTH
// and SELECT go first when the URL asks for them.
static nb::object redis(nb::str url, nb::object cmd, Clock &clock) {
    nb::object parts = mine("urlsplit")(url);
    nb::object host = parts.attr("hostname"), port = parts.attr("port");
    nb::object sock = mine("socket").attr("create_connection")(
        nb::make_tuple(host.is_none() ? nb::object(nb::str("localhost")) : host,
                       port.is_none() ? nb::object(nb::int_(6379)) : port),
        clock.left());
    try {
        clock.watch(sock);
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
        clock.stop();
        return result;
    } catch (nb::python_error &e) {
        sock.attr("close")();
        if (ordinary(e))
            clock.stop();
        throw;
    }
}

// ---------------------------------------------------------------- http

// A request to an http(s):// URL; None for a missing entry (404). The
// watchdog is set on the plain socket, before a TLS handshake (which a
// server could trickle too).
static nb::object http(nb::str url, const char *method, nb::object data, Clock &clock) {
    nb::object parts = mine("urlsplit")(url), client = mine("http_client");
    bool tls = nb::str(parts.attr("scheme")).equal(nb::str("https"));
    nb::object conn = client.attr("HTTPConnection")(parts.attr("hostname"), parts.attr("port").is_none() && tls ? nb::object(nb::int_(443)) : parts.attr("port"),
                                                    "timeout"_a = clock.left());
    if (tls)
        conn.attr("default_port") = 443; // the Host header names no port
    try {
        conn.attr("connect")();
        clock.watch(conn.attr("sock"));
        if (tls) {
            nb::object sock = nb::module_::import_("ssl").attr("create_default_context")().attr("wrap_socket")(
                conn.attr("sock"), "server_hostname"_a = parts.attr("hostname"), "do_handshake_on_connect"_a = false);
            conn.attr("sock") = sock;
            clock.watch(sock);
            sock.attr("do_handshake")();
        }
        nb::dict headers;
        if (!parts.attr("username").is_none()) {
            nb::str pair = nb::str("{}:{}").format(mine("unquote")(parts.attr("username")),
                                                   mine("unquote")(parts.attr("password").is_none() ? nb::object(nb::str("")) : parts.attr("password")));
            headers["Authorization"] = nb::str("Basic ") +
                nb::str(mine("base64").attr("b64encode")(pair.attr("encode")()).attr("decode")());
        }
        nb::str path(parts.attr("path"));
        if (nb::len(nb::str(parts.attr("query"))))
            path = nb::str(path + nb::str("?") + nb::str(parts.attr("query")));
        conn.attr("request")(method, path, "body"_a = data, "headers"_a = headers);
        nb::object answer = conn.attr("getresponse")();
        int status = nb::cast<int>(answer.attr("status"));
        if (status == 200 && !answer.attr("length").is_none())
            within_limit(answer.attr("length"));
        // Without a length (chunked), one byte past the limit tells.
        nb::object body = answer.attr("read")(nb::int_(mine("LIMIT")) + nb::int_(1));
        if (status == 200)
            within_limit(builtin("len")(body), true);
        conn.attr("close")();
        clock.stop();
        if (status == 404)
            return nb::none(); // a missing entry is an answer, not a fault of the store
        if (status >= 300)
            os_error(PyExc_OSError, nb::str("http: {} '{}'").format(status, printable(answer.attr("reason"), 40)));
        return body;
    } catch (nb::python_error &e) {
        conn.attr("close")();
        if (ordinary(e))
            clock.stop();
        throw;
    }
}

// ---------------------------------------------------------------- requests

static nb::str entry_url(nb::str url, nb::str key) {
    return nb::str("{}/tovel/{}").format(url.attr("rstrip")("/"), key);
}

/// One request within `deadline` seconds: the entry `key` (GET with data
/// None, else SET/PUT), or PING for the key "probe" without data. None for a
/// missing entry; TimeoutError past the deadline, OSError when the store fails.
static nb::object request(nb::str url, nb::str key, nb::object data, double deadline) {
    Clock clock(deadline);
    if (is_redis(url)) {
        if (key.equal(nb::str("probe")) && data.is_none())
            return redis(url, command({nb::str("PING")}), clock);
        return data.is_none() ? redis(url, command({nb::str("GET"), nb::str("tovel:") + key}), clock)
                              : redis(url, command({nb::str("SET"), nb::str("tovel:") + key, data}), clock);
    }
    if (truthy(url.attr("startswith")("http://")) || truthy(url.attr("startswith")("https://")))
        return http(entry_url(url, key), data.is_none() ? "GET" : "PUT", data, clock);
    os_error(PyExc_ValueError, nb::str("tovel speaks redis:// and http(s):// only"));
}

TOVEL_MODULE(wire, m) {
    for (const char *name : {"base64", "socket", "threading", "time"})
        m.attr(name) = nb::module_::import_(name);
    nb::module_ parse = nb::module_::import_("urllib.parse");
    m.attr("urlsplit") = parse.attr("urlsplit");
    m.attr("unquote") = parse.attr("unquote");
    m.attr("http_client") = nb::module_::import_("http.client");
    // Bytes an entry may hold: far above any real translation or object, low
    // enough that a store claiming more costs no memory.
    m.attr("LIMIT") = 64L << 20;
    m.def("printable", &printable, "what"_a, "width"_a = 40,
          "What a store sent, escaped to printable ASCII and cut to width characters.");
    m.def("request", &request, "url"_a, "key"_a, "data"_a.none(), "deadline"_a,
          "One request to the store at url within deadline seconds: GET (data None) or SET/PUT of key.");
}
