#pragma once
#include "config/ChannelForm.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A decimal integer with an optional sign; none for anything else or beyond 64 bits.
std::optional<int64_t> ParseInteger(std::string_view text);

// Splits "FIELD=VALUE" at the first '='; false without one.
bool SplitAssignment(std::string_view argument, std::string_view& field, std::string_view& value);

// Sets one field of the form, named as in the JSON output: "name",
// "pasModels" and the fields of the form's page. Answers an empty text, or
// why the assignment cannot be made (unknown field, a field the kind's page
// lacks, a value that is not one). Ranges are left to CheckChannelForm.
std::string AssignChannelField(CChannelForm& form, std::string_view field, std::string_view value);
