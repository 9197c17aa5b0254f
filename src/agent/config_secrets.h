#pragma once
// The configuration file's secrets in the reader's error texts: an error
// quotes the offending line, and that line can hold the node's secret key or
// the controller's shared secret, which the agent never shows.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velarix::agent {

// The bytes [first, second) of `text` that hold the value of a key named `sk`
// or `shared_secret` (bare or quoted, alone or last in a dotted key, at any
// level): strings of every kind, unterminated ones to their end, and any other
// value to its end. A damaged file is read as far as its tokens go.
std::vector<std::pair<std::size_t, std::size_t>> secret_value_spans(std::string_view text);

// The bytes [from, to) of `text` (one line) with each part of a secret value
// replaced by "****"; `column`, a byte offset into the line, moves with the
// text (onto the mask when it pointed into one).
std::string mask_secret_values(std::string_view text, std::size_t from, std::size_t to, std::size_t& column);

// Whether the reader's key path (as in "for key `identity.sk`") names a secret.
bool is_secret_key_path(std::string_view path);

}  // namespace velarix::agent
