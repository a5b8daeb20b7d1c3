// drisk: argument binding, conversions, failures and the entry barrier.
#include "call_frame.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace drisk {

// ---------------------------------------------------------------------------
// Once-per-process objects
// ---------------------------------------------------------------------------

namespace {

WriteOnce<PyObject> PANIC_EXCEPTION_TYPE;
WriteOnce<PyObject> ADD_NOTE_NAME;

constexpr const char* PANIC_DOC =
    "\n"
    "The exception raised when drisk's native code fails during a call from Python.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

constexpr const char* DEFAULT_PANIC_TEXT = "drisk native code failed an internal check";

}  // namespace

PyObject* interned(WriteOnce<PyObject>& cell, const char* text) {
  if (PyObject* ready = cell.get()) {
    return ready;
  }
  return cell.fill(checked(PyUnicode_InternFromString(text)));
}

PyObject* panic_exception_type() {
  if (PyObject* ready = PANIC_EXCEPTION_TYPE.get()) {
    return ready;
  }
  PyObject* made = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", PANIC_DOC,
                                             PyExc_BaseException, nullptr);
  if (made == nullptr) {
    fail_null_object();
  }
  return PANIC_EXCEPTION_TYPE.fill(made);
}

// ---------------------------------------------------------------------------
// Shutdown
// ---------------------------------------------------------------------------

namespace {

std::atomic<bool> SHUTDOWN_THREAD_KNOWN{false};
std::thread::id SHUTDOWN_THREAD{};

PyObject* note_shutdown_thread(PyObject* /*module*/, PyObject* /*unused*/) {
  SHUTDOWN_THREAD = std::this_thread::get_id();
  SHUTDOWN_THREAD_KNOWN.store(true, std::memory_order_release);
  return none_result();
}

PyMethodDef NOTE_SHUTDOWN_DEF = {"_note_shutdown_thread", note_shutdown_thread, METH_NOARGS,
                                 "Remember the thread that shuts the interpreter down."};

}  // namespace

bool detail::on_shutdown_thread() noexcept {
  return SHUTDOWN_THREAD_KNOWN.load(std::memory_order_acquire) &&
         SHUTDOWN_THREAD == std::this_thread::get_id();
}

Status watch_shutdown() {
  static bool registered = false;  // under the interpreter lock
  if (registered) {
    return success();
  }
  PyRef note = PyRef::steal(checked(PyCFunction_New(&NOTE_SHUTDOWN_DEF, nullptr)));
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) {
    return PyErr::fetch();
  }
  PyRef done = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", note.get()));
  if (!done) {
    return PyErr::fetch();
  }
  registered = true;
  return success();
}

// ---------------------------------------------------------------------------
// Invariant failures and the barrier
// ---------------------------------------------------------------------------

void fail_invariant(std::string message) { throw InvariantFailure{std::move(message)}; }

void fail_null_object() {
  if (PyErr_Occurred() != nullptr) {
    PyErr_WriteUnraisable(nullptr);
  }
  fail_invariant("PyObject pointer is null");
}

namespace detail {
namespace {

[[noreturn]] void panic_trap() noexcept {
  std::fputs("drisk: uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

// Raises PanicException(message) as PyErr_SetObject(type, (message,)).
void raise_panic(const std::string& message) {
  PyObject* type = panic_exception_type();
  PyRef text = PyRef::steal(checked(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()))));
  PyRef args = PyRef::steal(checked(PyTuple_Pack(1, text.get())));
  PyErr_SetObject(type, args.get());
}

}  // namespace

DRISK_FORCED_UNWIND_CATCH void raise_current_exception() {
  try {
    try {
      throw;
    } catch (const InvariantFailure& failure) {
      raise_panic(failure.message.empty() ? DEFAULT_PANIC_TEXT : failure.message);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (...) {
      raise_panic(DEFAULT_PANIC_TEXT);
    }
#if defined(DRISK_FORCED_UNWIND)
  } catch (abi::__forced_unwind&) {
    throw;
#endif
  } catch (...) {
    panic_trap();
  }
}

}  // namespace detail

// ---------------------------------------------------------------------------
// PyErr
// ---------------------------------------------------------------------------

struct PyErr::State {
  // Described form: a borrowed static exception type and its message.
  PyObject* described_type = nullptr;
  std::string message;
  bool has_argument = true;
  // Fetched or normalized form.
  PyRef type;
  PyRef value;
  PyRef traceback;
};

PyErr::PyErr(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
PyErr::PyErr(PyErr&&) noexcept = default;
PyErr& PyErr::operator=(PyErr&&) noexcept = default;
PyErr::~PyErr() = default;

PyErr PyErr::described(PyObject* type, std::string message) {
  auto state = std::make_unique<State>();
  state->described_type = type;
  state->message = std::move(message);
  return PyErr(std::move(state));
}

PyErr PyErr::described_without_argument(PyObject* type) {
  auto state = std::make_unique<State>();
  state->described_type = type;
  state->has_argument = false;
  return PyErr(std::move(state));
}

namespace {

// A PanicException raised by our own code earlier has come back out of
// Python code: report it, then carry on as a panic of this call.
[[noreturn, gnu::cold]] void resume_panic(PyObject* type, PyObject* value, PyObject* traceback) {
  PyErr_NormalizeException(&type, &value, &traceback);
  std::string text = "Unwrapped panic from Python code";
  if (PyRef str = PyRef::steal(PyObject_Str(value))) {
    text = lossy_utf8(str.get());
  } else {
    PyErr_Clear();
  }
  std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n",
             stderr);
  std::fputs("Python stack trace below:\n", stderr);
  PyErr_Restore(type, value, traceback);
  PyErr_PrintEx(0);
  fail_invariant(std::move(text));
}

}  // namespace

PyErr PyErr::fetch() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return described(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PyObject* panic_type = nullptr;
  try {
    panic_type = panic_exception_type();
  } catch (...) {
    Py_DECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    throw;
  }
  if (type == panic_type) {
    resume_panic(type, value, traceback);
  }
  auto state = std::make_unique<State>();
  state->type = PyRef::steal(type);
  state->value = PyRef::steal(value);
  state->traceback = PyRef::steal(traceback);
  return PyErr(std::move(state));
}

// Turns the described form into an instance (type, value, traceback).
void PyErr::normalize() {
  State& s = *state_;
  if (s.described_type != nullptr) {
    if (s.has_argument) {
      PyRef text = PyRef::steal(checked(PyUnicode_FromStringAndSize(
          s.message.data(), static_cast<Py_ssize_t>(s.message.size()))));
      PyErr_SetObject(s.described_type, text.get());
    } else {
      PyErr_SetNone(s.described_type);
    }
    s.described_type = nullptr;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    s.type = PyRef::steal(type);
    s.value = PyRef::steal(value);
    s.traceback = PyRef::steal(traceback);
  }
  PyObject* type = s.type.release();
  PyObject* value = s.value.release();
  PyObject* traceback = s.traceback.release();
  PyErr_NormalizeException(&type, &value, &traceback);
  s.type = PyRef::steal(type);
  s.value = PyRef::steal(value);
  s.traceback = PyRef::steal(traceback);
}

PyErr PyErr::with_argument_note(const char* param) && {
  normalize();
  const std::string note = std::string("while processing '") + param + "'";
  PyRef text = PyRef::steal(
      checked(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size()))));
  PyObject* add_note = interned(ADD_NOTE_NAME, "add_note");
  PyRef method = PyRef::steal(PyObject_GetAttr(state_->value.get(), add_note));
  if (!method) {
    PyErr_Clear();
    return std::move(*this);
  }
  PyRef args = PyRef::steal(checked(PyTuple_Pack(1, text.get())));
  PyRef outcome = PyRef::steal(PyObject_Call(method.get(), args.get(), nullptr));
  if (!outcome) {
    PyErr_Clear();
  }
  return std::move(*this);
}

PyErr PyErr::caused_by(PyErr cause) && {
  normalize();
  cause.normalize();
  if (cause.state_->traceback) {
    PyException_SetTraceback(cause.state_->value.get(), cause.state_->traceback.get());
  }
  PyException_SetCause(state_->value.get(), cause.state_->value.release());
  return std::move(*this);
}

bool PyErr::matches(PyObject* type) const noexcept {
  PyObject* own = state_->described_type != nullptr ? state_->described_type : state_->type.get();
  return PyErr_GivenExceptionMatches(own, type) != 0;
}

void PyErr::restore() && {
  State& s = *state_;
  if (s.described_type != nullptr) {
    if (!s.has_argument) {
      PyErr_SetObject(s.described_type, PyRef::steal(checked(PyTuple_New(0))).get());
      return;
    }
    PyRef text = PyRef::steal(checked(
        PyUnicode_FromStringAndSize(s.message.data(), static_cast<Py_ssize_t>(s.message.size()))));
    PyErr_SetObject(s.described_type, text.get());
    return;
  }
  PyErr_Restore(s.type.release(), s.value.release(), s.traceback.release());
}

PyErr fetch_for(const char* param) {
  PyErr err = PyErr::fetch();
  if (err.matches(PyExc_KeyboardInterrupt)) {
    return err;
  }
  return std::move(err).with_argument_note(param);
}

PyErr type_error(std::string message) {
  return PyErr::described(PyExc_TypeError, std::move(message));
}
PyErr value_error(std::string message) {
  return PyErr::described(PyExc_ValueError, std::move(message));
}
PyErr runtime_error(std::string message) {
  return PyErr::described(PyExc_RuntimeError, std::move(message));
}
PyErr overflow_error(std::string message) {
  return PyErr::described(PyExc_OverflowError, std::move(message));
}

// ---------------------------------------------------------------------------
// Text helpers
// ---------------------------------------------------------------------------

std::string lossy_utf8(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) {
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  // Lone surrogates: encode them as they stand, then decode with one U+FFFD
  // for every maximal invalid subpart.
  PyErr_Clear();
  PyRef raw = PyRef::steal(checked(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass")));
  char* bytes = nullptr;
  Py_ssize_t length = 0;
  if (PyBytes_AsStringAndSize(raw.get(), &bytes, &length) < 0) {
    fail_null_object();
  }
  PyRef clean = PyRef::steal(checked(PyUnicode_DecodeUTF8(bytes, length, "replace")));
  const char* utf8 = PyUnicode_AsUTF8AndSize(clean.get(), &size);
  if (utf8 == nullptr) {
    fail_null_object();
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

namespace {

// The qualified name of a type as lossy UTF-8, or a stand-in.
std::string qualified_type_name(PyTypeObject* type) {
  PyRef name = PyRef::steal(PyType_GetQualName(type));
  if (!name) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return lossy_utf8(name.get());
}

}  // namespace

PyErr type_mismatch(PyObject* value, PyTypeObject* target) {
  const std::string target_name = qualified_type_name(target);
  if (value == Py_None) {
    return type_error("'None' is not an instance of '" + target_name + "'");
  }
  return type_error("'" + qualified_type_name(Py_TYPE(value)) + "' object is not an instance of '" +
                    target_name + "'");
}

// ---------------------------------------------------------------------------
// Argument binding
// ---------------------------------------------------------------------------

std::string FunctionDescription::display_name() const {
  std::string name;
  if (cls_name != nullptr) {
    name += cls_name;
    name += '.';
  }
  name += func_name;
  name += "()";
  return name;
}

PyErr FunctionDescription::too_many_positional(std::size_t given) const {
  const std::size_t total = positional_names.size();
  std::string message = display_name() + " takes ";
  if (required_positional == total) {
    message += std::to_string(total);
  } else {
    message += "from " + std::to_string(required_positional) + " to " + std::to_string(total);
  }
  message += " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was" : " were") + " given";
  return type_error(std::move(message));
}

PyErr FunctionDescription::unexpected_keyword(PyObject* name) const {
  std::string shown;
  if (PyRef text = PyRef::steal(PyObject_Str(name))) {
    shown = lossy_utf8(text.get());
  } else {
    // Only a str subclass with its own failing __str__ gets here.
    PyErr_WriteUnraisable(name);
    if (PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(name)))) {
      shown = "<unprintable " + lossy_utf8(type_name.get()) + " object>";
    } else {
      PyErr_Clear();
      shown = "<unprintable object>";
    }
  }
  return type_error(display_name() + " got an unexpected keyword argument '" + shown + "'");
}

PyErr FunctionDescription::multiple_values(const char* param) const {
  return type_error(display_name() + " got multiple values for argument '" + param + "'");
}

PyErr FunctionDescription::missing_required(PyObject** slots) const {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < required_positional; ++i) {
    if (slots[i] == nullptr) {
      missing.push_back(positional_names[i]);
    }
  }
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() > 2) {
        list += ',';
      }
      list += i + 1 == missing.size() ? " and " : " ";
    }
    list += '\'';
    list += missing[i];
    list += '\'';
  }
  return type_error(display_name() + " missing " + std::to_string(missing.size()) +
                    " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                    ": " + list);
}

// Step 3 for one keyword: match it byte for byte against the parameter names.
Status FunctionDescription::bind_keyword(PyObject* name, PyObject* value, PyObject** slots) const {
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &length);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return unexpected_keyword(name);
  }
  const std::string_view key(utf8, static_cast<std::size_t>(length));
  for (std::size_t i = 0; i < positional_names.size(); ++i) {
    if (key == positional_names[i]) {
      if (slots[i] != nullptr) {
        return multiple_values(positional_names[i]);
      }
      slots[i] = value;
      return success();
    }
  }
  return unexpected_keyword(name);
}

// Step 4: every required parameter must have a value.
Status FunctionDescription::check_required(std::size_t nargs, PyObject** slots) const {
  if (nargs >= required_positional) {
    return success();
  }
  for (std::size_t i = nargs; i < required_positional; ++i) {
    if (slots[i] == nullptr) {
      return missing_required(slots);
    }
  }
  return success();
}

Status FunctionDescription::bind_fastcall(PyObject* const* args, Py_ssize_t nargs_signed,
                                          PyObject* kwnames, PyObject** slots) const {
  // 1. Positional values, as many as there are parameters.
  const auto nargs = static_cast<std::size_t>(nargs_signed);
  const std::size_t total = positional_names.size();
  for (std::size_t i = 0; i < nargs && i < total; ++i) {
    slots[i] = args[i];
  }
  // 2. Too many positional values.
  if (nargs > total) {
    return too_many_positional(nargs);
  }
  // 3. Keywords, in the order of the name tuple; the first failure wins.
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      PyObject* name = PyTuple_GetItem(kwnames, k);
      if (name == nullptr) {
        fail_null_object();
      }
      Status bound = bind_keyword(name, args[nargs + static_cast<std::size_t>(k)], slots);
      if (!bound) {
        return bound;
      }
    }
  }
  // 4. Required parameters still empty.
  return check_required(nargs, slots);
}

Status FunctionDescription::bind_tuple_dict(PyObject* args, PyObject* kwargs,
                                            PyObject** slots) const {
  const Py_ssize_t nargs_signed = PyTuple_Size(args);
  if (nargs_signed < 0) {
    fail_null_object();
  }
  const auto nargs = static_cast<std::size_t>(nargs_signed);
  const std::size_t total = positional_names.size();
  for (std::size_t i = 0; i < nargs && i < total; ++i) {
    slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }
  if (nargs > total) {
    return too_many_positional(nargs);
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      Status bound = bind_keyword(name, value, slots);
      if (!bound) {
        return bound;
      }
    }
  }
  return check_required(nargs, slots);
}

// ---------------------------------------------------------------------------
// Conversions
// ---------------------------------------------------------------------------

Expected<std::span<const std::uint8_t>> extract_bytes(PyObject* obj, const char* param) {
  if (!PyBytes_Check(obj)) {
    return type_mismatch(obj, &PyBytes_Type).with_argument_note(param);
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) {
    return PyErr::fetch().with_argument_note(param);
  }
  return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data),
                                       static_cast<std::size_t>(size));
}

Expected<std::string_view> extract_str(PyObject* obj, const char* param) {
  if (!PyUnicode_Check(obj)) {
    return type_mismatch(obj, &PyUnicode_Type).with_argument_note(param);
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) {
    return PyErr::fetch().with_argument_note(param);
  }
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

Expected<std::uint8_t> extract_u8(PyObject* obj, const char* param) {
  const long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred() != nullptr) {
    return PyErr::fetch().with_argument_note(param);
  }
  if (value < 0 || value > 255) {
    return overflow_error("out of range integral type conversion attempted")
        .with_argument_note(param);
  }
  return static_cast<std::uint8_t>(value);
}

// ---------------------------------------------------------------------------
// Results
// ---------------------------------------------------------------------------

PyObject* none_result() noexcept { return Py_NewRef(Py_None); }

PyObject* float_result(double value) { return checked(PyFloat_FromDouble(value)); }

PyObject* str_result(std::string_view text) {
  return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace drisk
