// Reader of the message table of a PE image: the message-table resource
// (type 11, name 1, language 1033) decoded into identifiers and texts.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace msgtable {

struct Message {
  uint32_t id;
  bool unicode;      // the entry is UTF-16, as the event viewer expects
  std::string text;  // without the NUL padding after the text
};

// Decodes the message table of the image held in `image`. On failure returns
// false and says why in *error.
bool readMessageTable(const std::vector<uint8_t>& image, std::vector<Message>* messages, std::string* error);

}  // namespace msgtable
