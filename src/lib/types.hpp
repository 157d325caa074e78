// The two classes of the module; each type object is made once per process and shared by every
// module object and thread.
#pragma once

#include <Python.h>

#include "kestrin.hpp"

namespace kestrin::py {

// Borrowed; nullptr with an exception set if the type could not be made.
PyTypeObject* engine_type();
PyTypeObject* video_metadata_type();

// A new VideoMetadata instance owning a copy of `record`.
PyObject* new_video_metadata(const VideoMetadata& record);

}  // namespace kestrin::py
