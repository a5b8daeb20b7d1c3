// drisk._pack: the packed form of a sketch (see packed.hpp).
//
// Built from the same sketch core and call frame as _drisk. Sketch arguments
// are checked against _drisk.HyperLogLog, the one type of the process,
// imported when this module is executed; new sketches are objects of that
// type.
#include <array>

#include "buffer.hpp"
#include "entry.hpp"
#include "packed.hpp"

namespace drisk {
namespace {

constexpr std::array<const char* const, 1> PACK_PARAMS{"sketch"};
constexpr std::array<const char* const, 1> UNPACK_PARAMS{"data"};
constexpr std::array<const char* const, 1> FORM_PARAMS{"data"};
constexpr FunctionDescription PACK_DESC{nullptr, "pack", PACK_PARAMS, 1};
constexpr FunctionDescription UNPACK_DESC{nullptr, "unpack", UNPACK_PARAMS, 1};
constexpr FunctionDescription FORM_DESC{nullptr, "form", FORM_PARAMS, 1};

// pack(sketch) -> bytes
PyObject* pack_pack(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  return sketch_function<PACK_DESC, Access::shared>(
      args, nargs, kwnames,
      [](const HyperLogLogCore& core, Slots<PACK_DESC>& /*slots*/) -> Expected<PyObject*> {
        packed::Plan plan{};
        if (Refusal refusal = packed::plan(core, plan)) {
          return value_error(std::move(*refusal));
        }
        PyObject* out =
            checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plan.size)));
        packed::write(core, plan, reinterpret_cast<std::uint8_t*>(PyBytes_AsString(out)));
        return out;
      });
}

// unpack(data) -> HyperLogLog
PyObject* pack_unpack(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return bound_call<UNPACK_DESC>(args, nargs, kwnames,
                                 [](Slots<UNPACK_DESC>& slots) -> Expected<PyObject*> {
                                   BufferView view;
                                   if (!view.acquire(slots[0])) {
                                     return fetch_for("data");
                                   }
                                   HyperLogLogCore core;
                                   Refusal refusal = packed::unpack(view.bytes(), core);
                                   view.release();  // may run Python code (__release_buffer__)
                                   if (refusal) {
                                     return value_error(std::move(*refusal));
                                   }
                                   return create_class_object(std::move(core));
                                 });
}

// form(data) -> str
PyObject* pack_form(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  return bound_call<FORM_DESC>(args, nargs, kwnames,
                               [](Slots<FORM_DESC>& slots) -> Expected<PyObject*> {
                                 BufferView view;
                                 if (!view.acquire(slots[0])) {
                                   return fetch_for("data");
                                 }
                                 const packed::Form form = packed::form(view.bytes());
                                 view.release();  // may run Python code (__release_buffer__)
                                 switch (form) {
                                   case packed::Form::raw:
                                     return checked(PyUnicode_FromString("raw"));
                                   case packed::Form::packed_dense:
                                     return checked(PyUnicode_FromString("packed-dense"));
                                   case packed::Form::packed_sparse:
                                     return checked(PyUnicode_FromString("packed-sparse"));
                                   case packed::Form::neither:
                                     break;
                                 }
                                 return value_error(
                                     "not a stored sketch: neither the raw form (a p of 4 to 18, "
                                     "then 2**p registers) nor the packed form (magic number E2 48 "
                                     "4C 4C, a header and a checksum)");
                               });
}

PyMethodDef PACK_METHODS[] = {
    {"pack", as_cfunction(pack_pack), METH_FASTCALL | METH_KEYWORDS,
     documented(PACK_DESC,
                "pack(sketch)\n--\n\n"
                "The packed form of a sketch: self-describing, checksummed, and sparse while\n"
                "that is smaller. Raises ValueError for a sketch holding a register value\n"
                "that insertion cannot produce.")},
    {"unpack", as_cfunction(pack_unpack), METH_FASTCALL | METH_KEYWORDS,
     documented(UNPACK_DESC,
                "unpack(data)\n--\n\n"
                "Rebuild a sketch from pack() output (any bytes-like object). Raises\n"
                "ValueError for anything else: truncated, altered or foreign data.")},
    {"form", as_cfunction(pack_form), METH_FASTCALL | METH_KEYWORDS,
     documented(FORM_DESC,
                "form(data)\n--\n\n"
                "The form of a stored sketch, as load() tells them apart: \"raw\" (to_bytes()),\n"
                "\"packed-dense\" or \"packed-sparse\" (pack()), read from the first bytes and\n"
                "the length alone. Raises ValueError for data in neither form.")},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

ModuleDefinition PACK_MODULE{"drisk._pack", "The packed form of HyperLogLog sketches.",
                             PACK_METHODS};

}  // namespace
}  // namespace drisk

PyMODINIT_FUNC PyInit__pack(void) { return drisk::PACK_MODULE.init(); }
