// The history's entry as a JSON object, for the documents that print a run the way the history
// keeps it. Only the application's own files include this: no library below it sees the header.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "app/history.h"

// Keys in the order they are set, for a reader of the file or the document.
using Json = nlohmann::ordered_json;

// The text, or null when there is none.
Json optional_value(const std::optional<std::string>& value);

// The entry's object, with the keys of history.jsonl.
Json history_object(const HistoryEntry& entry);

// The value as text: on one line when indent is negative, else indented by that many blanks.
// Bytes that are no valid UTF-8 are replaced, so that every document is written.
std::string json_text(const Json& value, int indent = -1);
