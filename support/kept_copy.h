// Copies of the catalogue and its manifest kept in the state directory
// after they verified, each with the server's validators, so that the next
// run can ask the server whether they changed and, if not, check and use
// the kept bytes instead of fetching them again.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "core/records.h"
#include "support/descriptor.h"

// Whether a validator may be kept and sent back in a header: printable
// ASCII, not empty, at most kValidatorLimit bytes.
constexpr size_t kValidatorLimit = 512;
bool validator_acceptable(std::string_view value);

// The head of a kept copy: a tag, the URL and two validators, with room.
constexpr size_t kKeptHeadLimit = 4096;
// Checks the head at the start of `text` (the first bytes of a file of
// `file_size` bytes) against `kept.key`: its length, with the validators
// in `kept` and the body's size in `size`; 0 when it is not a kept copy of
// that URL whose body has the size it states.
size_t kept_parse_head(std::string_view text, off_t file_size, KeptCopy &kept, off_t &size);

// `dir` is the open state directory. The validators kept for the URL
// `kept.key` into `kept` (left empty when nothing usable is kept): true
// when there is a kept copy to ask about.
bool kept_find(int dir, KeptCopy &kept);
// The kept copy of `key`, positioned at its first byte, with its length in
// `size`; closed (-1) when nothing usable is kept.
Descriptor kept_open(int dir, const std::string &key, off_t &size);
// Keeps the whole of `from` (read from its first byte) for `kept.key` with
// its validators, replacing any earlier copy at once, while no other run
// changes the directory: "" or why not.
std::string kept_store(int dir, const KeptCopy &kept, int from);
// Drops the kept copy of `key`, if any: the next question is unconditional.
void kept_remove(int dir, const std::string &key);
