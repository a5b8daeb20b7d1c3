// drisk: the system calls that differ between systems (see platform.hpp).
#include "platform.hpp"

#include <cerrno>

#if defined(DRISK_WINDOWS)
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace drisk {

std::int64_t read_at(int fd, void* buffer, std::size_t len, std::uint64_t offset) noexcept {
#if defined(DRISK_WINDOWS)
  // ReadFile with an offset leaves the descriptor's own position alone only
  // for handles opened without FILE_FLAG_OVERLAPPED, as the C runtime's are;
  // the position does not matter to the callers anyway.
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return -1;
  }
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  const DWORD want = len > 0x40000000u ? 0x40000000u : static_cast<DWORD>(len);
  DWORD got = 0;
  if (ReadFile(handle, buffer, want, &got, &at) == 0) {
    if (GetLastError() == ERROR_HANDLE_EOF) {
      return 0;
    }
    errno = EIO;
    return -1;
  }
  return static_cast<std::int64_t>(got);
#else
  return static_cast<std::int64_t>(::pread(fd, buffer, len, static_cast<off_t>(offset)));
#endif
}

}  // namespace drisk
