// Lenient JSON reading shared by every reader of outside data: a missing member, a JSON
// null, a value of the wrong type or a parse failure gives the caller's default. None of
// these functions throws, whatever the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace quavox {

// Keeps members in the order they were written: for files and replies whose member order
// is part of their format.
using TJson = nlohmann::ordered_json;
// Keeps members sorted by name: what request bodies are read into, because building an
// ordered object costs time quadratic in its member count, and a client chooses that count.
using TJsonValue = nlohmann::json;

// The object, or nothing when the text is blank, not JSON, or not an object.
std::optional<TJson> ParseJsonObject(std::string_view AText);
std::optional<TJsonValue> ParseJsonValueObject(std::string_view AText);
// True when arrays and objects in the text nest more than ALimit levels deep (brackets
// inside strings do not count). Looks at each byte once and allocates nothing, so it can
// guard a parser whose memory grows with the depth.
bool JsonNestsDeeperThan(std::string_view AText, std::size_t ALimit);
// True when the text holds more than ALimit opening brackets and commas outside strings,
// between one and two per value: a parser's memory grows with the count.
bool JsonHoldsMoreValuesThan(std::string_view AText, std::size_t ALimit);

std::string JsonString(const TJson* ANode, std::string_view AName, const std::string& ADefault);
int64_t JsonInteger(const TJson* ANode, std::string_view AName, int64_t ADefault);
bool JsonBoolean(const TJson* ANode, std::string_view AName, bool ADefault);
double JsonFloat(const TJson* ANode, std::string_view AName, double ADefault);
const TJson* JsonChildObject(const TJson* ANode, std::string_view AName);
const TJson* JsonChildArray(const TJson* ANode, std::string_view AName);

std::string JsonString(const TJsonValue* ANode, std::string_view AName,
                       const std::string& ADefault);
int64_t JsonInteger(const TJsonValue* ANode, std::string_view AName, int64_t ADefault);
bool JsonBoolean(const TJsonValue* ANode, std::string_view AName, bool ADefault);
double JsonFloat(const TJsonValue* ANode, std::string_view AName, double ADefault);
const TJsonValue* JsonChildObject(const TJsonValue* ANode, std::string_view AName);
const TJsonValue* JsonChildArray(const TJsonValue* ANode, std::string_view AName);

// Two-space indented text; invalid UTF-8 in stored strings is replaced, never thrown on.
std::string JsonDumpIndented(const TJson& AValue);
// A single line with every non-ASCII character escaped, for replies on the wire.
std::string JsonDumpAscii(const TJson& AValue);
// Skips a UTF-8 byte order mark.
std::string_view StripUtf8Bom(std::string_view AText);
// A float rounded to four decimals, so 0.58f is stored as 0.58 rather than 0.5799999833.
double RoundTo4Decimals(float AValue);

}  // namespace quavox
