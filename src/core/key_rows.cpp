// drisk: chosen rows of a view column copied out (see key_rows.hpp).
#include "key_rows.hpp"

#include <new>

#include "columns/array_views.hpp"
#include "columns/row_views.hpp"

namespace drisk {

using namespace columns;

ArrayFault take_view_rows(const ColumnType& type, const ArrowArray& array, std::int64_t base,
                          const std::int64_t* rows, std::size_t count, std::size_t& next,
                          cells::BinaryBuilder& out) noexcept {
  if (const char* fault = shape_fault(array)) {
    return fault;
  }
  if (type.values != ValueKind::BinaryView || type.dictionary || type.table) {
    return "malformed Arrow array: not a view array";
  }
  const std::int64_t end = base + array.length;
  const std::uint8_t* validity = validity_of(array);
  ArrayFault fault = nullptr;
  const ArrayFault shape =
      with_values_view(type, array, array.offset, array.length, [&](const auto& view) {
        if constexpr (requires(HyperLogLogCore::ItemView item) { view.item(0, item); }) {
          try {
            for (; next < count && rows[next] < end; ++next) {
              if (rows[next] < base) {
                fault = "malformed Arrow array: rows outside the array";
                return;
              }
              const auto row = static_cast<std::size_t>(rows[next] - base);
              HyperLogLogCore::ItemView item{};
              bool present = validity == nullptr ||
                             bit_is_set(validity, array.offset + static_cast<std::int64_t>(row));
              if (present && view.item(row, item) != ABSORBED) {
                fault = "malformed Arrow array: a view points outside its buffers";
                return;
              }
              if (present) {
                const auto* bytes = static_cast<const std::uint8_t*>(item.data);
                out.data.insert(out.data.end(), bytes, bytes + item.len);
              } else {
                ++out.nulls;
              }
              out.valid.push_back(present ? 1 : 0);
              out.offsets.push_back(static_cast<std::int64_t>(out.data.size()));
            }
          } catch (const std::bad_alloc&) {
            fault = OUT_OF_MEMORY;
          }
        }
      });
  return shape != nullptr ? shape : fault;
}

}  // namespace drisk
