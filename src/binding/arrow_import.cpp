// drisk: taking Arrow data from Python objects (see arrow_import.hpp).
#include "arrow_import.hpp"

#include <cerrno>
#include <cstring>

namespace drisk {
namespace {

// A failed stream callback: the exception its producer left pending, or one
// built from its error code and last error message.
[[gnu::cold, gnu::noinline]] PyErr stream_error(ArrowArrayStream& stream, int code) {
  if (PyErr_Occurred() != nullptr) {
    return PyErr::fetch();
  }
  const char* text = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
  std::string message = "the Arrow stream failed: ";
  message += text != nullptr ? text : std::strerror(code);
  PyObject* type = code == ENOMEM   ? PyExc_MemoryError
                   : code == EINVAL ? PyExc_ValueError
                   : code == ENOSYS ? PyExc_NotImplementedError
                                    : PyExc_OSError;
  return PyErr::described(type, std::move(message));
}

[[gnu::cold, gnu::noinline]] PyErr not_exportable(PyObject* data, const char* param) {
  std::string shown = "<failed to extract type name>";
  if (PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(data)))) {
    shown = lossy_utf8(name.get());
  } else {
    PyErr_Clear();
  }
  return type_error("'" + shown + "' object has neither __arrow_c_stream__ nor __arrow_c_array__")
      .with_argument_note(param);
}

[[gnu::cold, gnu::noinline]] PyErr already_released(const char* what) {
  return value_error(std::string("the exported Arrow ") + what + " was already released");
}

// data.<name>, or null with no exception pending when it has no such
// attribute.
Expected<PyRef> optional_method(PyObject* data, const char* name, const char* param) {
  PyRef method = PyRef::steal(PyObject_GetAttrString(data, name));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      return PyErr::fetch().with_argument_note(param);
    }
    PyErr_Clear();
  }
  return method;
}

// Moves the structure out of a capsule of the given name into `owner`.
template <class Struct>
Status take_capsule(PyObject* capsule, const char* name, const char* param,
                    ArrowOwner<Struct>& owner) {
  auto* raw = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
  if (raw == nullptr) {
    return PyErr::fetch().with_argument_note(param);
  }
  owner.take(raw);
  if (!owner.held()) {
    return already_released(name);
  }
  return success();
}

}  // namespace

PyErr column_error(ColumnError error) {
  return error.kind == ColumnError::Kind::Type ? type_error(std::move(error.message))
                                               : value_error(std::move(error.message));
}

PyErr array_fault(ArrayFault fault) {
  if (fault == OUT_OF_MEMORY) {
    PyErr_NoMemory();
    return PyErr::fetch();
  }
  return value_error(fault);
}

bool exports_arrow(PyObject* data) noexcept {
  return PyObject_HasAttrString(data, "__arrow_c_stream__") != 0 ||
         PyObject_HasAttrString(data, "__arrow_c_array__") != 0;
}

Status import_arrow(PyObject* data, const char* param, ImportedArrow& out) {
  Expected<PyRef> stream_method = optional_method(data, "__arrow_c_stream__", param);
  if (!stream_method) {
    return std::move(stream_method).error();
  }
  if (*stream_method) {
    PyRef capsule = PyRef::steal(PyObject_CallNoArgs(stream_method->get()));
    if (!capsule) {
      return PyErr::fetch().with_argument_note(param);
    }
    if (Status taken = take_capsule(capsule.get(), "arrow_array_stream", param, out.stream);
        !taken) {
      return taken;
    }
    ArrowArrayStream& stream = *out.stream;
    if (stream.get_schema == nullptr || stream.get_next == nullptr) {
      return value_error("malformed Arrow stream: missing callbacks");
    }
    if (const int code = stream.get_schema(&stream, out.schema.out()); code != 0) {
      return stream_error(stream, code);
    }
    if (!out.schema.held()) {
      return value_error("malformed Arrow stream: it gave no schema");
    }
    out.is_stream = true;
    return success();
  }
  Expected<PyRef> array_method = optional_method(data, "__arrow_c_array__", param);
  if (!array_method) {
    return std::move(array_method).error();
  }
  if (!*array_method) {
    return not_exportable(data, param);
  }
  PyRef pair = PyRef::steal(PyObject_CallNoArgs(array_method->get()));
  if (!pair) {
    return PyErr::fetch().with_argument_note(param);
  }
  if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
    return type_error("__arrow_c_array__() must return a (schema, array) pair of capsules")
        .with_argument_note(param);
  }
  if (Status taken =
          take_capsule(PyTuple_GetItem(pair.get(), 0), "arrow_schema", param, out.schema);
      !taken) {
    return taken;
  }
  return take_capsule(PyTuple_GetItem(pair.get(), 1), "arrow_array", param, out.array);
}

Status next_array(ImportedArrow& imported, OwnedArray& out, bool& first) {
  out.reset();
  if (!imported.is_stream) {
    if (first) {
      first = false;
      *out.out() = *imported.array;
      imported.array->release = nullptr;  // ownership moves to `out`
    }
    return success();
  }
  first = false;
  ArrowArrayStream& stream = *imported.stream;
  if (const int code = stream.get_next(&stream, out.out()); code != 0) {
    return stream_error(stream, code);
  }
  return success();
}

}  // namespace drisk
