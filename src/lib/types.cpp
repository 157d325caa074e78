// KestEngine and VideoMetadata. Heap types from PyType_FromSpec, kept for the life of the
// process: a later import of the module registers the very same class objects.
#include "lib/types.hpp"

#include <array>
#include <atomic>
#include <new>

#include "lib/binding.hpp"
#include "lib/engine_methods.hpp"

namespace kestrin::py {
namespace {

// Made once: the loser of a race between threads of a free-threaded interpreter drops its copy.
PyTypeObject* make_once(std::atomic<PyObject*>& slot, PyType_Spec& definition) {
    PyObject* existing = slot.load(std::memory_order_acquire);
    if (existing != nullptr) return reinterpret_cast<PyTypeObject*>(existing);
    PyObject* made = PyType_FromSpec(&definition);
    if (made == nullptr) return nullptr;
    if (!slot.compare_exchange_strong(existing, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);
        return reinterpret_cast<PyTypeObject*>(existing);
    }
    return reinterpret_cast<PyTypeObject*>(made);
}

// Heap-type instances hold a reference to their type, released with the instance.
void free_plain_object(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// KestEngine ---------------------------------------------------------------------------------

constexpr std::array<const char*, 0> no_parameters{};

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 0> bound{};
        if (!bind_tuple_arguments({"KestEngine.__new__()", no_parameters}, args, kwargs, bound))
            return nullptr;
        return type->tp_alloc(type, 0);
    });
}

template <auto method>
PyCFunction as_cfunction() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

PyMethodDef engine_methods[] = {
    {"probe", as_cfunction<engine_probe>(), METH_FASTCALL | METH_KEYWORDS,
     "probe($self, path)\n--\n\n"},
    {"get_blackbar_coords", as_cfunction<engine_get_blackbar_coords>(),
     METH_FASTCALL | METH_KEYWORDS, "get_blackbar_coords($self, path)\n--\n\n"},
    {"transform", as_cfunction<engine_transform>(), METH_FASTCALL | METH_KEYWORDS,
     "transform($self, input, output, codec, res, crop, flags)\n--\n\n"},
    {"remux", as_cfunction<engine_remux>(), METH_FASTCALL | METH_KEYWORDS,
     "remux($self, input, output)\n--\n\n"},
    {"batch", as_cfunction<engine_batch>(), METH_FASTCALL | METH_KEYWORDS,
     "batch($self, tasks)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

char engine_doc[] = "KestEngine()\n--\n\n";

PyType_Slot engine_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(free_plain_object)},
    {Py_tp_doc, engine_doc},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_methods, engine_methods},
    {0, nullptr},
};

PyType_Spec engine_spec = {"builtins.KestEngine", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                           engine_slots};

std::atomic<PyObject*> engine_type_object{nullptr};

// VideoMetadata ------------------------------------------------------------------------------

struct VideoMetadataObject {
    PyObject_HEAD
    VideoMetadata record;
};

const VideoMetadata& record_of(PyObject* self) {
    return reinterpret_cast<VideoMetadataObject*>(self)->record;
}

void video_metadata_dealloc(PyObject* self) {
    reinterpret_cast<VideoMetadataObject*>(self)->record.~VideoMetadata();
    free_plain_object(self);
}

template <auto field>
PyObject* get_text(PyObject* self, void*) {
    return new_text(record_of(self).*field);
}

template <auto field>
PyObject* get_integer(PyObject* self, void*) {
    return PyLong_FromLongLong(record_of(self).*field);
}

PyObject* get_duration(PyObject* self, void*) {
    return PyFloat_FromDouble(record_of(self).duration);
}

PyGetSetDef video_metadata_getters[] = {
    {"filename", get_text<&VideoMetadata::filename>, nullptr, nullptr, nullptr},
    {"width", get_integer<&VideoMetadata::width>, nullptr, nullptr, nullptr},
    {"height", get_integer<&VideoMetadata::height>, nullptr, nullptr, nullptr},
    {"codec", get_text<&VideoMetadata::codec>, nullptr, nullptr, nullptr},
    {"duration", get_duration, nullptr, nullptr, nullptr},
    {"pix_fmt", get_text<&VideoMetadata::pix_fmt>, nullptr, nullptr, nullptr},
    {"bitrate", get_text<&VideoMetadata::bitrate>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot video_metadata_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(video_metadata_dealloc)},
    {Py_tp_getset, video_metadata_getters},
    {0, nullptr},
};

PyType_Spec video_metadata_spec = {"builtins.VideoMetadata", sizeof(VideoMetadataObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                   video_metadata_slots};

std::atomic<PyObject*> video_metadata_type_object{nullptr};

}  // namespace

PyTypeObject* engine_type() { return make_once(engine_type_object, engine_spec); }

PyTypeObject* video_metadata_type() {
    return make_once(video_metadata_type_object, video_metadata_spec);
}

PyObject* new_video_metadata(const VideoMetadata& record) {
    PyTypeObject* type = video_metadata_type();
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
        new (&reinterpret_cast<VideoMetadataObject*>(self)->record) VideoMetadata(record);
    } catch (...) {
        // The record was never made: free the bare object without running its destructor.
        free_plain_object(self);
        throw;
    }
    return self;
}

}  // namespace kestrin::py
