// Copies of the catalogue and its manifest kept in the state directory
// after they verified, each with the server's validators, so that the next
// run can ask the server whether they changed and, if not, check and use
// the kept bytes instead of fetching them again.
#pragma once

#include <string>
#include <string_view>

#include "core/records.h"
#include "support/descriptor.h"

// Whether a validator may be kept and sent back in a header: printable
// ASCII, not empty, at most kValidatorLimit bytes.
constexpr size_t kValidatorLimit = 512;
bool validator_acceptable(std::string_view value);

// The validators kept for the URL `kept.key` into `kept` (left empty when
// nothing usable is kept): true when there is a kept copy to ask about.
bool kept_find(const std::string &dir, KeptCopy &kept);
// The kept copy of `key`, positioned at its first byte, with its length in
// `size`; closed (-1) when nothing usable is kept.
Descriptor kept_open(const std::string &dir, const std::string &key, off_t &size);
// Keeps the whole of `from` (read from its first byte) for `kept.key` with
// its validators, replacing any earlier copy at once: "" or why not.
std::string kept_store(const std::string &dir, const KeptCopy &kept, int from);
