// tovel.guard: what keeps a build to itself. One build per folder at a time
// (a lock in its build folder: a second one waits for the first, saying so),
// and an interrupt ends every process the build started, also those in a
// session of their own (the project's tests), before tov says it stopped.
#include "common.h"

using namespace tovel;

static const char *MOD = "tovel.guard";

static nb::object mine(const char *name) { return global(MOD, name); }

// Locks the open file `f` for this process; false when another holds it
// (`wait` false).
static bool take(nb::handle f, bool wait) {
    nb::object fileno = f.attr("fileno")();
    try {
        if (truthy(mine("sys").attr("platform").attr("startswith")("win"))) {
            nb::object msvcrt = nb::module_::import_("msvcrt");
            for (;;) {
                try {
                    msvcrt.attr("locking")(fileno, msvcrt.attr("LK_NBLCK"), 1);
                    return true;
                } catch (nb::python_error &e) {
                    if (!e.matches(PyExc_OSError) || !wait)
                        throw;
                }
                mine("time").attr("sleep")(0.5);
            }
        }
        nb::object fcntl = nb::module_::import_("fcntl");
        nb::object how = fcntl.attr("LOCK_EX");
        if (!wait)
            how = how.attr("__or__")(fcntl.attr("LOCK_NB"));
        fcntl.attr("flock")(fileno, how);
        return true;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError) || wait)
            throw;
        return false;
    }
}

/// Holds the build lock of `folder` (folder/tov.lock) for as long as the
/// returned file is open; while another build holds it, says so in one line
/// and waits.
static nb::object hold(nb::str folder) {
    nb::object os = mine("os");
    os.attr("makedirs")(folder, "exist_ok"_a = true);
    nb::object path = os.attr("path").attr("join")(folder, "tov.lock");
    nb::object f = builtin("open")(path, "a+", "encoding"_a = "utf-8");
    try {
        if (!take(f, false)) {
            f.attr("seek")(0);
            nb::str pid(nb::str(f.attr("read")()).attr("strip")());
            print(nb::str("another tov build is running in this folder{}: waiting for it to finish")
                      .format(nb::len(pid) ? nb::str(" (process {})").format(pid) : nb::str("")),
                  "file"_a = mine("sys").attr("stderr"), "flush"_a = true); // also with --quiet
            take(f, true);
        }
        f.attr("seek")(0);
        f.attr("truncate")();
        f.attr("write")(nb::str(os.attr("getpid")()));
        f.attr("flush")();
        return f;
    } catch (...) {
        f.attr("close")();
        throw;
    }
}

// The fields of /proc/<pid>/stat after the command name (state, ppid, ...);
// none when the process has ended meanwhile.
static nb::list stat_fields(nb::handle pid) {
    nb::str stat;
    try {
        stat = nb::str(mine("Path")(nb::str("/proc/{}/stat").format(pid)).attr("read_text")());
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError))
            throw;
        return nb::list();
    }
    // pid (comm) state ppid ...: comm may hold spaces and parentheses.
    return nb::list(nb::str(stat.attr("rpartition")(")")[2]).attr("split")());
}

// Whether those fields are of a process that still runs: not ended, not a zombie.
static bool running(nb::list fields) { return nb::len(fields) && !nb::str(fields[0]).equal(nb::str("Z")); }

// The processes below this one, from /proc (Linux); none elsewhere, where
// each part of the build ends its own.
static nb::list descendants() {
    nb::object os = mine("os");
    nb::list found;
    if (!truthy(os.attr("path").attr("isdir")("/proc/self")))
        return found;
    nb::dict children;
    for (nb::handle name : os.attr("listdir")("/proc")) {
        if (!truthy(nb::str(name).attr("isdigit")()))
            continue;
        nb::list fields = stat_fields(name);
        if (nb::len(fields) < 2 || !running(fields))
            continue;
        children.attr("setdefault")(builtin("int")(fields[1]), nb::list()).attr("append")(builtin("int")(name));
    }
    nb::list todo;
    todo.append(os.attr("getpid")());
    while (nb::len(todo)) {
        nb::object pid = todo.attr("pop")();
        for (nb::handle c : children.attr("get")(pid, nb::list())) {
            found.append(c);
            todo.append(c);
        }
    }
    return found;
}

/// Ends every process this one started, and theirs: asked to stop, then
/// killed after a second. Returns how many there were.
static size_t end_children() {
    nb::object os = mine("os"), signal = mine("signal");
    nb::list pids = descendants();
    auto send = [&](nb::handle pid, const char *sig) {
        try {
            os.attr("kill")(pid, signal.attr(sig));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_OSError))
                throw;
        }
    };
    for (nb::handle pid : pids)
        send(pid, "SIGTERM");
    nb::object time = mine("time");
    nb::object until = time.attr("monotonic")() + nb::float_(1.0);
    for (;;) {
        nb::list alive;
        for (nb::handle pid : pids) {
            if (running(stat_fields(pid)))
                alive.append(pid);
        }
        if (!nb::len(alive))
            break;
        if (truthy(time.attr("monotonic")().attr("__gt__")(until))) {
            for (nb::handle pid : alive)
                send(pid, "SIGKILL");
            break;
        }
        time.attr("sleep")(0.05);
    }
    return nb::len(pids);
}

TOVEL_MODULE(guard, m) {
    for (const char *name : {"os", "signal", "sys", "time"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("Path") = nb::module_::import_("pathlib").attr("Path");
    m.def("hold", &hold, "folder"_a = "build",
          "Hold the build lock of folder while the returned file is open; waits (saying so) for another build.");
    m.def("end_children", &end_children,
          "End every process this one started, and theirs; returns how many.");
}
