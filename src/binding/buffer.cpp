// drisk: taking the interpreter lock back after native work.
#include "buffer.hpp"

namespace drisk::detail {

void restore_thread(PyThreadState* state) { PyEval_RestoreThread(state); }

}  // namespace drisk::detail
