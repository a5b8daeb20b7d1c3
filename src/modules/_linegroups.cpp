// drisk._linegroups: distinct values per key from fields of lines, for
// `drisk count --by`. The reading is in binding/line_group_inputs.cpp, the
// work in core/line_groups.cpp.
#include <array>

#include "entry.hpp"
#include "estimate_args.hpp"
#include "file_inputs.hpp"
#include "line_group_inputs.hpp"

namespace drisk {
namespace {

constexpr std::array<const char* const, 7> GROUP_LINES_PARAMS{
    "read", "key", "values", "delimiter", "p", "confidence", "sketches"};
constexpr FunctionDescription GROUP_LINES_DESC{nullptr, "group_lines", GROUP_LINES_PARAMS, 5};

// group_lines(read, key, values, delimiter, p, confidence=None, sketches=False)
//   -> (keys, estimates, lower, upper, sketches, items, skipped)
PyObject* linegroups_group_lines(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return bound_call<GROUP_LINES_DESC>(
      args, nargs, kwnames, [](Slots<GROUP_LINES_DESC>& slots) -> Expected<PyObject*> {
        if (!PyCallable_Check(slots[0])) {
          return type_error("read must be callable").with_argument_note("read");
        }
        LineGroupChoice choice;
        Expected<FieldChoice> key = extract_field_choice(slots[1], slots[3]);
        if (!key) {
          return std::move(key).error();
        }
        Expected<FieldChoice> values = extract_field_choice(slots[2], slots[3]);
        if (!values) {
          return std::move(values).error();
        }
        if (key->whole_line() || values->whole_line()) {
          return value_error("key and values must each name at least one field");
        }
        choice.key = *key;
        choice.value = *values;
        Expected<std::uint8_t> p = extract_u8(slots[4], "p");
        if (!p) {
          return std::move(p).error();
        }
        if (Refusal refusal = HyperLogLogCore::check_precision(*p)) {
          return value_error(std::move(*refusal)).with_argument_note("p");
        }
        double confidence = 0;
        if (slots[5] != nullptr && slots[5] != Py_None) {
          Expected<double> given = extract_confidence(slots[5]);
          if (!given) {
            return std::move(given).error();
          }
          confidence = *given;
        }
        bool sketches = false;
        if (slots[6] != nullptr) {
          const int truth = PyObject_IsTrue(slots[6]);
          if (truth < 0) {
            return fetch_for("sketches");
          }
          sketches = truth != 0;
        }
        return group_lines({slots[0], *p, confidence, sketches}, choice);
      });
}

PyMethodDef LINEGROUPS_METHODS[] = {
    {"group_lines", as_cfunction(linegroups_group_lines), METH_FASTCALL | METH_KEYWORDS,
     documented(GROUP_LINES_DESC,
                "group_lines(read, key, values, delimiter, p, confidence=None, sketches=False)\n"
                "--\n\n"
                "Sketches of precision p of the `values` fields of lines, one per distinct\n"
                "`key` fields (both tuples of ascending 1-based numbers; delimiter a byte\n"
                "value, or -1 for runs of blanks). read(memoryview) fills the view and returns\n"
                "the bytes written, 0 at the end. Returns (keys, estimates, lower, upper,\n"
                "sketches, items, skipped): the keys as bytes, the improved estimates, the\n"
                "bounds at `confidence` (None without it), the packed sketches (None unless\n"
                "asked for), the lines taken and the lines without the key or the value.")},
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

ModuleDefinition LINEGROUPS_MODULE{"drisk._linegroups",
                                   "Distinct values per key from fields of lines.",
                                   LINEGROUPS_METHODS, nullptr};

}  // namespace
}  // namespace drisk

PyMODINIT_FUNC PyInit__linegroups(void) { return drisk::LINEGROUPS_MODULE.init(); }
