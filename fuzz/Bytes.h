// The fuzzer's input read front to back as a stream of choices.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

// Past its end every byte reads 0, which every decoder here takes as the
// ordinary, working choice.
class Bytes {
 public:
  Bytes() = default;
  Bytes(const uint8_t* data, size_t size) { reset(data, size); }
  void reset(const uint8_t* data, size_t size) {
    data_ = data;
    size_ = size;
    pos_ = 0;
  }
  uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }
  // Little-endian, the first byte lowest. The reads are sequenced: the two
  // operands of | are not, and compilers order them differently.
  uint16_t next16() {
    const uint8_t low = next();
    return static_cast<uint16_t>(low | next() << 8);
  }
  uint32_t next32() {
    const uint16_t low = next16();
    return static_cast<uint32_t>(low | static_cast<uint32_t>(next16()) << 16);
  }
  bool exhausted() const { return pos_ >= size_; }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t pos_ = 0;
};

}  // namespace fuzz
