// drisk: a buffer's lines and an item's parts.
#include "byte_inputs.hpp"

#include "buffer.hpp"
#include "cpus.hpp"
#include "insert.hpp"
#include "lines.hpp"

namespace drisk {

Expected<std::size_t> absorb_buffer_lines(HyperLogLogCore& core, PyObject* buffer, bool final) {
  BufferView view;
  if (!view.acquire(buffer)) {
    return fetch_for("buffer");
  }
  const std::span<const std::uint8_t> data = view.bytes();
  std::size_t lines = 0;
  if (data.size() >= SPLIT_BYTES && usable_cpus() > 1) {
    HyperLogLogCore helper = core.empty_like();
    lines = without_gil([&]() noexcept { return add_lines_shared(core, &helper, data, final); });
  } else if (data.size() >= RELEASE_GIL_BYTES) {
    lines = without_gil([&]() noexcept { return core.add_lines(data, final); });
  } else {
    lines = core.add_lines(data, final);
  }
  view.release();  // may run Python code (__release_buffer__)
  return lines;
}

Status absorb_joined(HyperLogLogCore& core, PyObject* parts) {
  ItemHasher hasher;
  Status read = for_each_part(parts, [&](std::span<const std::uint8_t> bytes) {
    hasher.update(bytes.data(), bytes.size());
  });
  if (!read) {
    return read;
  }
  // Only now, with every part read: a failure above leaves the sketch as it
  // was.
  core.add_hash(hasher.digest());
  return success();
}

}  // namespace drisk
