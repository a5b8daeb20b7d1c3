// drisk: the Arrow C data interface, as a consumer sees it.
//
// The ABI structs are declared here, as the interface's documentation asks
// consumers to do (guarded, so that another declaration of the same structs
// wins), with ArrowOwner, which holds one of them moved out of its
// producer's hands and releases it on every way out.
#ifndef DRISK_COLUMNS_ARROW_ABI_HPP
#define DRISK_COLUMNS_ARROW_ABI_HPP

#include <cstdint>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  // Array type description
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;

  // Release callback
  void (*release)(struct ArrowSchema*);
  // Opaque producer-specific data
  void* private_data;
};

struct ArrowArray {
  // Array data description
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;

  // Release callback
  void (*release)(struct ArrowArray*);
  // Opaque producer-specific data
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  // Callbacks providing stream functionality
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);

  // Release callback
  void (*release)(struct ArrowArrayStream*);

  // Opaque producer-specific data
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE

#ifdef __cplusplus
}
#endif

namespace drisk {

// Owns one Arrow structure (schema, array or stream) moved out of its
// producer's hands, and releases it through its release callback when it
// goes. Released structures have a null release callback, and so do empty
// owners.
template <class Struct>
class ArrowOwner {
 public:
  ArrowOwner() noexcept = default;
  ArrowOwner(const ArrowOwner&) = delete;
  ArrowOwner& operator=(const ArrowOwner&) = delete;
  ~ArrowOwner() { reset(); }

  // Takes over *source and marks it released, so that its producer (a
  // capsule's destructor, say) does not release it a second time.
  void take(Struct* source) noexcept {
    reset();
    value_ = *source;
    source->release = nullptr;
  }

  // Releases the structure held, if any.
  void reset() noexcept {
    if (value_.release != nullptr) {
      value_.release(&value_);
      value_.release = nullptr;  // in case the callback forgot
    }
  }

  // Where a callback may write a new structure; it must be empty.
  Struct* out() noexcept { return &value_; }

  bool held() const noexcept { return value_.release != nullptr; }
  Struct& operator*() noexcept { return value_; }
  const Struct& operator*() const noexcept { return value_; }
  Struct* operator->() noexcept { return &value_; }

 private:
  Struct value_{};
};

using OwnedSchema = ArrowOwner<ArrowSchema>;
using OwnedArray = ArrowOwner<ArrowArray>;
using OwnedStream = ArrowOwner<ArrowArrayStream>;

}  // namespace drisk

#endif  // DRISK_COLUMNS_ARROW_ABI_HPP
