#include "log_forward.hpp"

#include <atomic>
#include <initializer_list>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "exceptions.hpp"
#include "pravlin_lib/log.hpp"

namespace {

namespace log = pravlin_lib::log;
using log::Level;

int python_level(Level level)
{
    switch (level) {
    case Level::Error: return 40;
    case Level::Warn: return 30;
    case Level::Info: return 20;
    case Level::Debug: return 10;
    case Level::Trace: return 5;
    case Level::Off: break;
    }
    return 0;
}

// Takes the next "::"-separated segment off the front of `rest`; false once
// `rest` is used up.
bool next_segment(std::string_view& rest, std::string_view& segment, bool& done)
{
    if (done) return false;
    const size_t at = rest.find("::");
    done = at == std::string_view::npos;
    segment = rest.substr(0, at);
    rest.remove_prefix(done ? rest.size() : at + 2);
    return true;
}

std::vector<std::string_view> segments(std::string_view target)
{
    std::vector<std::string_view> out;
    bool done = false;
    for (std::string_view segment; next_segment(target, segment, done);) out.push_back(segment);
    return out;
}

// -- the logger cache --------------------------------------------------------------
//
// A tree keyed by the "::" segments of the target. Published nodes are never
// changed and never freed, so readers walk whatever root they loaded without a
// lock. A writer copies the nodes on the path to its target, shares every other
// node, and publishes the new root with one compare-and-swap; a writer that
// loses the race drops its copy. Writes happen once per target (a record that
// finds its entry does not write), so the retired trees stay few.

struct Entry {
    Level threshold;
    PyObject* logger;  // strong reference, never released
};

struct Node {
    std::optional<Entry> entry;
    std::map<std::string, const Node*, std::less<>> children;
};

class Cache {
public:
    const Entry* find(std::string_view target) const
    {
        const Node* node = root_.load(std::memory_order_acquire);
        bool done = false;
        for (std::string_view segment; next_segment(target, segment, done);) {
            auto child = node->children.find(segment);
            if (child == node->children.end()) return nullptr;
            node = child->second;
        }
        return node->entry ? &*node->entry : nullptr;
    }

    // With the interpreter lock held.
    void store(std::string_view target, Level threshold, PyObject* logger)
    {
        const Node* old_root = root_.load(std::memory_order_acquire);
        const std::vector<std::string_view> path = segments(target);

        // originals[i]: the node at depth i on the path (depth 0 is the root), if any.
        std::vector<const Node*> originals{old_root};
        for (std::string_view segment : path) {
            const Node* node = originals.back();
            const Node* next = nullptr;
            if (node)
                if (auto child = node->children.find(segment); child != node->children.end()) next = child->second;
            originals.push_back(next);
        }

        std::vector<std::unique_ptr<Node>> fresh;
        auto copy = [&](const Node* original) {
            fresh.push_back(original ? std::make_unique<Node>(*original) : std::make_unique<Node>());
            return fresh.back().get();
        };
        Node* below = copy(originals.back());
        below->entry = Entry{threshold, logger};
        for (size_t depth = path.size(); depth-- > 0;) {
            Node* node = copy(originals[depth]);
            node->children.insert_or_assign(std::string(path[depth]), below);
            below = node;
        }

        if (!root_.compare_exchange_strong(old_root, below, std::memory_order_acq_rel,
                                           std::memory_order_acquire))
            return;
        Py_INCREF(logger);
        for (auto& node : fresh) (void)node.release();
    }

private:
    std::atomic<const Node*> root_{new Node{}};
};

// -- the sink -----------------------------------------------------------------------

bool interpreter_usable()
{
    if (!Py_IsInitialized()) return false;
#if PY_VERSION_HEX >= 0x030D0000
    return !Py_IsFinalizing();
#else
    return !_Py_IsFinalizing();
#endif
}

// Deals with the pending exception of a logging call. An Exception is
// printed the way the interpreter prints an uncaught one (sys.last_*
// untouched) and cleared; anything else (KeyboardInterrupt, SystemExit) is
// held for the caller of the call in progress.
void report_exception()
{
    if (PyErr_ExceptionMatches(PyExc_Exception)) into_python([] { PyErr_PrintEx(0); });
    else HeldExceptions::hold_pending();
}

// logger.isEnabledFor(levelno) as 1 or 0; -1 with an exception set.
int is_enabled_for(PyObject* logger, int levelno)
{
    return into_python([&] {
        PyRef result(PyObject_CallMethod(logger, "isEnabledFor", "i", levelno));
        return result ? PyObject_IsTrue(result.get()) : -1;
    });
}

class Forwarder final : public log::Sink {
public:
    explicit Forwarder(PyObject* logging) : logging_(logging) {}

    bool wants(Level level, std::string_view target) const override
    {
        if (!log::passes(level, Level::Debug)) return false;
        const Entry* cached = cache_.find(target);
        return !cached || log::passes(level, cached->threshold);
    }

    void log(const log::Record& record) override
    {
        if (!log::passes(record.level, Level::Debug)) return;
        const Entry* cached = cache_.find(record.target);
        if (cached && !log::passes(record.level, cached->threshold)) return;

        const bool take_lock = !PyGILState_Check();
        if (take_lock && !interpreter_usable()) return;
        const PyGILState_STATE lock = take_lock ? into_python(PyGILState_Ensure) : PyGILState_UNLOCKED;
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        try {
            // A signal that arrived during the call is handled here rather than
            // in the middle of the logging code, so that what its handler
            // raises is known to be no logging failure.
            if (into_python(PyErr_CheckSignals) < 0) HeldExceptions::hold_pending();
            forward(record, cached);
        } catch (abi::__forced_unwind&) {
            // The caller's exception and the lock are left as they are: this
            // thread may not touch them any more.
            python_abandoned = true;
            throw;
        } catch (const std::bad_alloc&) {
            // Out of memory building strings: the record is lost, nothing else.
        }
        if (PyErr_Occurred()) PyErr_Clear();
        PyErr_Restore(type, value, traceback);
        if (take_lock) PyGILState_Release(lock);
    }

private:
    void forward(const log::Record& record, const Entry* cached)
    {
        const std::string text = record.message();
        const std::string_view target = record.target;
        std::string name;  // "a::b" -> "a.b"
        for (size_t i = 0; i < target.size(); ++i) {
            const bool separator = target.substr(i, 2) == "::";
            name += separator ? '.' : target[i];
            i += separator;
        }
        const int levelno = python_level(record.level);

        PyRef py_name(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace"));
        PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        PyRef file(record.file ? PyUnicode_DecodeFSDefault(record.file) : Py_NewRef(Py_None));
        if (!py_name || !message || !file) return report_exception();

        PyRef logger = cached ? PyRef::borrow(cached->logger) : into_python([&] {
            return PyRef(PyObject_CallMethod(logging_, "getLogger", "O", py_name.get()));
        });
        if (!logger || !deliver(logger.get(), py_name.get(), levelno, file.get(), record.line, message.get()))
            return report_exception();
        if (!cached) cache_.store(record.target, probe(logger.get()), logger.get());
    }

    static bool deliver(PyObject* logger, PyObject* name, int levelno, PyObject* file, uint32_t line,
                        PyObject* message)
    {
        const int enabled = is_enabled_for(logger, levelno);
        if (enabled <= 0) return enabled == 0;
        return into_python([&] {
            PyRef rec(PyObject_CallMethod(logger, "makeRecord", "OiOIO()O", name, levelno, file,
                                          static_cast<unsigned>(line), message, Py_None));
            return rec && PyRef(PyObject_CallMethod(logger, "handle", "O", rec.get()));
        });
    }

    // The lowest level the logger takes now.
    static Level probe(PyObject* logger)
    {
        for (Level level : {Level::Trace, Level::Debug, Level::Info, Level::Warn, Level::Error}) {
            const int enabled = is_enabled_for(logger, python_level(level));
            if (enabled < 0) {
                report_exception();
                return Level::Trace;
            }
            if (enabled) return level;
        }
        return Level::Off;
    }

    PyObject* logging_;  // strong reference, never released
    Cache cache_;
};

// Replaces the pending exception with PanicException("<what>: <cause>"),
// chained to it.
void raise_panic_from_pending(const std::string& what)
{
    PyRef cause = fetch_pending();

    std::string text = what;
    if (cause) {
        PyRef shown(PyObject_Str(cause.get()));
        const char* utf8 = shown ? PyUnicode_AsUTF8(shown.get()) : nullptr;
        if (utf8) text += std::string(": ") + Py_TYPE(cause.get())->tp_name + ": " + utf8;
        PyErr_Clear();
    }
    raise_panic(text);
    if (!cause) return;
    if (PyRef panic = fetch_pending()) {
        PyException_SetCause(panic.get(), cause.release());
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(panic.get())), panic.get());
    }
}

}  // namespace

bool install_log_forwarding()
{
    static bool installed = false;
    if (installed) return true;
    PyObject* logging = PyImport_ImportModule("logging");
    if (!logging) {
        raise_panic_from_pending("Failed to initialize python logging");
        return false;
    }
    static Forwarder* const forwarder = new Forwarder(logging);  // lives as long as the process
#ifndef PRAVLIN_LOG_OFF
    log::install(forwarder, Level::Debug);
#else
    (void)forwarder;
#endif
    installed = true;
    return true;
}
