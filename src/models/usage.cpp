// Usage accounting: the running prompt and completion token totals of each
// conversation and model, kept in the session store.
#include "cogsift.hpp"

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace cogsift {

namespace {

// `mapping.get(key)` telling absence apart from any stored value.
PyObject* g_absent = nullptr;

py::object absent() {
    if (g_absent == nullptr) g_absent = bind::keep(bind::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type))));
    return bind::borrow(g_absent);
}

}  // namespace

CallIdentity read_identity(py::handle config) {
    const Names& n = module().n;
    // A LangChain chain moves every configuration key it does not know
    // ("input" among them) under "configurable" before it calls a step, so
    // the session is looked for there when the configuration itself has no
    // "input".
    py::object input = bind::mapping_get(config, n.input, absent());
    if (input.ptr() == g_absent) {
        py::object configurable = bind::mapping_get(config, n.configurable, py::none());
        input = configurable.ptr() == Py_None ? bind::new_dict()
                                              : bind::mapping_get(configurable, n.input, bind::new_dict());
    }
    CallIdentity who;
    who.session_id = bind::mapping_get(input, n.session_id, bind::borrow(n.default_session_id));
    py::object metadata = bind::mapping_get(config, n.metadata, bind::new_dict());
    who.model_name = bind::mapping_get(metadata, n.model_name, bind::borrow(n.unknown_model));
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

// One lock per (usage key, model name), alive while someone holds or waits
// for it. Waiting releases the GIL: the holder may be inside a store call
// that needs it back.
class UsageLock {
public:
    UsageLock(py::handle usage_key, py::handle model_name) : key_(lock_key(usage_key, model_name)) {
        {
            std::lock_guard<std::mutex> guard(table_guard());
            auto& slot = table()[key_];
            if (!slot) slot = std::make_unique<Slot>();
            slot_ = slot.get();
            ++slot_->users;
        }
        if (!slot_->mutex.try_lock()) {
            Py_BEGIN_ALLOW_THREADS
            slot_->mutex.lock();
            Py_END_ALLOW_THREADS
        }
    }
    ~UsageLock() {
        slot_->mutex.unlock();
        std::lock_guard<std::mutex> guard(table_guard());
        if (--slot_->users == 0) table().erase(key_);
    }
    UsageLock(const UsageLock&) = delete;
    UsageLock& operator=(const UsageLock&) = delete;

private:
    struct Slot {
        // Recursive: a store helper that itself records usage for the same
        // key on the same thread must not hang it.
        std::recursive_mutex mutex;
        int users = 0;
    };

    static std::mutex& table_guard() {
        static std::mutex m;
        return m;
    }
    static std::unordered_map<std::string, std::unique_ptr<Slot>>& table() {
        static auto* t = new std::unordered_map<std::string, std::unique_ptr<Slot>>();
        return *t;
    }

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
    Slot* slot_ = nullptr;
};

}  // namespace

void accumulate_usage(const CallIdentity& who, py::handle usage) {
    const Names& n = module().n;
    py::object usage_key = bind::steal(PyNumber_Add(n.usage_prefix, who.session_id.ptr()));
    PyObject* const keys[] = {n.prompt_tokens, n.completion_tokens, n.total_tokens};
    static PyObject* ttl = bind::keep(bind::integer(600));

    UsageLock lock(usage_key, who.model_name);
    py::object existing = bind::call_kw(global(n.get_redis_data), bind::borrow(n.kw_key), usage_key, who.model_name);
    if (bind::truthy(existing)) {
        for (PyObject* key : keys) {
            py::object stored = bind::getitem(existing, bind::borrow(key));
            py::object added = bind::mapping_get(usage, key, bind::borrow(n.zero));
            bind::setitem(existing, bind::borrow(key), bind::steal(PyNumber_InPlaceAdd(stored.ptr(), added.ptr())));
        }
    } else {
        py::object values[3];
        for (int i = 0; i < 3; ++i) values[i] = bind::mapping_get(usage, keys[i], bind::borrow(n.zero));
        existing = bind::dict_of({{keys[0], values[0]}, {keys[1], values[1]}, {keys[2], values[2]}});
    }
    bind::call_kw(global(n.hset_redis_data), bind::borrow(n.kw_key_value_ttl), usage_key, who.model_name, existing,
                  bind::borrow(ttl));
}

}  // namespace cogsift
