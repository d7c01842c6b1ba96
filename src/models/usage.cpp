// Usage accounting: the running prompt and completion token totals of each
// conversation and model, kept in the session store.
#include "cogsift.hpp"
#include "message_attrs.hpp"

#include <pthread.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace cogsift {

namespace {

#define USAGE_NAMES(X) X(record_ttl, 600)
BIND_PART_NAMES(UsageNames, USAGE_NAMES, names);

// `mapping.get(key)` telling absence apart from any stored value.
PyObject* g_absent = nullptr;

py::object absent() {
    if (g_absent == nullptr) g_absent = bind::keep(bind::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type))));
    return bind::borrow(g_absent);
}

}  // namespace

void require_mapping(py::handle value, const char* what) {
    if (PyDict_Check(value.ptr()) || bind::check(PyObject_IsInstance(value.ptr(), module().mapping.ptr())) != 0)
        return;
    PyErr_Format(PyExc_TypeError, "%s must be a mapping, not %.200s", what, Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
}

namespace {

// config[key], which must be a mapping when present; empty when absent.
py::object mapping_entry(py::handle config, PyObject* key, const char* what) {
    py::object value = bind::mapping_get(config, key, absent());
    if (value.ptr() == g_absent) return {};
    require_mapping(value, what);
    return value;
}

}  // namespace

CallIdentity read_identity(py::handle config) {
    const Names& n = module().n;
    // A LangChain chain moves every configuration key it does not know
    // ("input" among them) under "configurable" before it calls a step, so
    // the session is looked for there when the configuration itself has no
    // "input".
    py::object configurable = bind::mapping_get(config, n.configurable, py::none());
    if (configurable.ptr() != Py_None) require_mapping(configurable, "config[\"configurable\"]");
    py::object input = mapping_entry(config, n.input, "config[\"input\"]");
    if (!input && configurable.ptr() != Py_None)
        input = mapping_entry(configurable, n.input, "config[\"configurable\"][\"input\"]");
    py::object metadata = mapping_entry(config, n.metadata, "config[\"metadata\"]");
    CallIdentity who;
    who.session_id = input ? bind::mapping_get(input, n.session_id, bind::borrow(n.default_session_id))
                           : bind::borrow(n.default_session_id);
    who.model_name = metadata ? bind::mapping_get(metadata, n.model_name, bind::borrow(n.unknown_model))
                              : bind::borrow(n.unknown_model);
    return who;
}

py::object configured_prompt(py::handle config) {
    const Names& n = module().n;
    return bind::getitem(bind::getitem(config, bind::borrow(n.metadata)), bind::borrow(n.prompt));
}

py::object usage_record(py::handle prompt_tokens, py::handle completion_tokens) {
    const Names& n = module().n;
    py::object total = bind::steal(PyNumber_Add(prompt_tokens.ptr(), completion_tokens.ptr()));
    return bind::dict_of({{n.prompt_tokens, prompt_tokens}, {n.completion_tokens, completion_tokens}, {n.total_tokens, total}});
}

namespace {

// One in-process lock per (usage key, model name), alive while someone holds
// or waits for it. Blocking waits release the GIL: the holder may be inside a
// store call that needs it back.
class UsageLock {
public:
    UsageLock(py::handle usage_key, py::handle model_name) : key_(lock_key(usage_key, model_name)) {
        std::lock_guard<std::mutex> guard(table_guard());
        generation_ = state().generation;
        auto& slot = table()[key_];
        if (!slot) slot = std::make_unique<Slot>();
        slot_ = slot.get();
        ++slot_->users;
    }
    ~UsageLock() {
        if (locked_) slot_->mutex.unlock();
        std::lock_guard<std::mutex> guard(table_guard());
        // A lock taken before a fork belongs to the parent's table, which
        // the child abandoned: its slot is left alone.
        if (generation_ != state().generation) return;
        if (--slot_->users == 0) table().erase(key_);
    }

    // In a forked child only the forking thread exists: locks other threads
    // held (and the table's own guard) would stay locked forever. The child
    // starts from an empty table; the parent's is leaked on purpose, since
    // its mutexes cannot be destroyed while "held" by threads that are gone.
    static void reset_in_child() {
        State& s = state();
        s.guard = new std::mutex();
        s.table = new std::unordered_map<std::string, std::unique_ptr<Slot>>();
        ++s.generation;
    }
    UsageLock(const UsageLock&) = delete;
    UsageLock& operator=(const UsageLock&) = delete;

    // The holder may wait for the store's lock for long: the wait is cut
    // into short slices, so that Ctrl-C (or any signal handler's error)
    // lands in the waiting main thread, which then holds nothing.
    void lock() {
        while (!slot_->mutex.try_lock()) {
            bool taken = false;
            Py_BEGIN_ALLOW_THREADS
            taken = slot_->mutex.try_lock_for(std::chrono::milliseconds(20));
            Py_END_ALLOW_THREADS
            if (taken) break;
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
        locked_ = true;
    }
    bool try_lock() { return locked_ = slot_->mutex.try_lock(); }

private:
    struct Slot {
        // Recursive: a store helper that itself records usage for the same
        // key on the same thread must not hang it.
        std::recursive_timed_mutex mutex;
        int users = 0;
    };

    struct State {
        std::mutex* guard = new std::mutex();
        std::unordered_map<std::string, std::unique_ptr<Slot>>* table =
            new std::unordered_map<std::string, std::unique_ptr<Slot>>();
        unsigned long generation = 0;
    };
    static State& state() {
        static State* s = [] {
            auto* fresh = new State();
            pthread_atfork(nullptr, nullptr, [] { UsageLock::reset_in_child(); });
            return fresh;
        }();
        return *s;
    }
    static std::mutex& table_guard() { return *state().guard; }
    static std::unordered_map<std::string, std::unique_ptr<Slot>>& table() { return *state().table; }

    static bool append_text(std::string& out, py::handle text) {
        if (!PyUnicode_Check(text.ptr())) return false;
        py::object bytes = bind::steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
        const Py_ssize_t size = PyBytes_GET_SIZE(bytes.ptr());
        out += std::to_string(size);
        out += ':';
        out.append(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(size));
        return true;
    }

    // Texts are told apart by content; names that are not texts (the store
    // decides what to make of them) share one lock.
    static std::string lock_key(py::handle usage_key, py::handle model_name) {
        std::string key;
        if (append_text(key, usage_key) && append_text(key, model_name)) return key;
        return std::string("\x01", 1);
    }

    std::string key_;
    unsigned long generation_ = 0;
    Slot* slot_ = nullptr;
    bool locked_ = false;
};

py::object usage_key_of(const CallIdentity& who) {
    return bind::steal(PyNumber_Add(module().n.usage_prefix, who.session_id.ptr()));
}

// The session store's own lock of (usage key, model), which spans processes:
// `lock_redis_data(usage_key, key=model)` when the store module has it and
// the store offers one; empty otherwise.
py::object store_lock(py::handle usage_key, py::handle model_name) {
    const Names& n = module().n;
    py::object factory = global(n.lock_redis_data);
    if (factory.ptr() == Py_None) return {};
    py::object lock = bind::call_kw(factory, bind::borrow(n.kw_key), usage_key, model_name);
    if (lock.ptr() == Py_None) return {};
    return lock;
}

// The one read of the stored record.
py::object read_record(py::handle usage_key, py::handle model_name) {
    const Names& n = module().n;
    return bind::call_kw(global(n.get_redis_data), bind::borrow(n.kw_key), usage_key, model_name);
}

// The stored record with `usage` added (changed in place when there is one).
py::object added_record(py::object existing, py::handle usage) {
    const Names& n = module().n;
    PyObject* const keys[] = {n.prompt_tokens, n.completion_tokens, n.total_tokens};
    if (bind::truthy(existing)) {
        for (PyObject* key : keys) {
            py::object stored = bind::getitem(existing, bind::borrow(key));
            py::object added = bind::mapping_get(usage, key, bind::borrow(n.zero));
            bind::setitem(existing, bind::borrow(key), bind::steal(PyNumber_InPlaceAdd(stored.ptr(), added.ptr())));
        }
        return existing;
    }
    py::object values[3];
    for (int i = 0; i < 3; ++i) values[i] = bind::mapping_get(usage, keys[i], bind::borrow(n.zero));
    return bind::dict_of({{keys[0], values[0]}, {keys[1], values[1]}, {keys[2], values[2]}});
}

// The one write of the stored record.
void write_record(py::handle usage_key, py::handle model_name, py::handle record) {
    const Names& n = module().n;
    bind::call_kw(global(n.hset_redis_data), bind::borrow(n.kw_key_value_ttl), usage_key, model_name, record,
                  bind::borrow(names.record_ttl));
}

// The one read and the one write of the stored record.
void update_record(py::handle usage_key, py::handle model_name, py::handle usage) {
    write_record(usage_key, model_name, added_record(read_record(usage_key, model_name), usage));
}

// The exit of a `with`/`async with` block left by `failure`: an error the
// exit call raises replaces it, with `failure` as its context, as the
// statements do. The lock's answer never suppresses the failure.
[[noreturn]] void rethrow_after_exit_error(py::error_already_set& exit_error, const py::error_already_set& failure) {
    PyException_SetContext(exit_error.value().ptr(), failure.value().inc_ref().ptr());
    throw exit_error;
}

py::object exit_call(py::handle lock, PyObject* name, const py::error_already_set* failure) {
    if (failure == nullptr) return bind::call_method(lock, name, py::none(), py::none(), py::none());
    // An error raised by C code has no traceback yet: None then, as in Python.
    py::handle value = failure->value();
    PyObject* trace = PyException_GetTraceback(value.ptr());
    py::object traceback = trace != nullptr ? bind::steal(trace) : py::none();
    return bind::call_method(lock, name, bind::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr()))), value,
                             traceback);
}

}  // namespace

void accumulate_usage(const CallIdentity& who, py::handle usage) {
    const Names& n = module().n;
    py::object usage_key = usage_key_of(who);
    // Threads of this process queue here; only the one at the front waits
    // for the store's lock.
    UsageLock local(usage_key, who.model_name);
    local.lock();
    py::object lock = store_lock(usage_key, who.model_name);
    if (!lock) return update_record(usage_key, who.model_name, usage);

    bind::call_method(lock, n.enter);
    try {
        update_record(usage_key, who.model_name, usage);
    } catch (py::error_already_set& failure) {
        try {
            exit_call(lock, n.exit, &failure);
        } catch (py::error_already_set& exit_error) {
            rethrow_after_exit_error(exit_error, failure);
        }
        throw;
    }
    exit_call(lock, n.exit, nullptr);
}

bind::Task accumulate_usage_async(CallIdentity who, py::object usage) {
    Module& M = module();
    const Names& n = M.n;
    bind::Local usage_key = usage_key_of(who);
    bind::Local lock = store_lock(usage_key, who.model_name);
    if (!lock) {
        // Only this process's lock: polled, so that a thread holding it
        // never blocks the event loop. The update itself never suspends.
        UsageLock local(usage_key, who.model_name);
        while (!local.try_lock()) co_await bind::call(M.asyncio_sleep, bind::borrow(n.lock_poll));
        update_record(usage_key, who.model_name, usage);
        co_return py::none();
    }
    // The store's lock alone (waited for without holding the loop); the
    // in-process lock is not taken, so no frame holds it across a suspension.
    co_await bind::call_method(lock, n.aenter);
    std::optional<py::error_already_set> failure;
    try {
        // A lock with `call` makes the read and the write on the store's
        // threads: a store that stops answering never holds the loop.
        if (bind::Local call = attrs::lookup(lock, n.call)) {
            bind::Local existing = co_await bind::call_kw(call, bind::borrow(n.kw_key), global(n.get_redis_data),
                                                          usage_key, who.model_name);
            bind::Local record = added_record(existing, usage);
            co_await bind::call_kw(call, bind::borrow(n.kw_key_value_ttl), global(n.hset_redis_data), usage_key,
                                   who.model_name, record, bind::borrow(names.record_ttl));
        } else {
            update_record(usage_key, who.model_name, usage);
        }
    } catch (py::error_already_set& e) {
        failure.emplace(std::move(e));
    }
    if (failure) {
        try {
            co_await exit_call(lock, n.aexit, &*failure);
        } catch (py::error_already_set& exit_error) {
            rethrow_after_exit_error(exit_error, *failure);
        }
        throw *failure;
    }
    co_await exit_call(lock, n.aexit, nullptr);
    co_return py::none();
}

}  // namespace cogsift
