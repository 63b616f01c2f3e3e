// RapidJSON as the core uses it: an internal fault of the library unwinds as
// an exception, which the export guard turns into a failure, instead of
// aborting the caller's process.
#pragma once

#include <stdexcept>

#define RAPIDJSON_ASSERT(x) \
  ((x) ? static_cast<void>(0) : throw std::logic_error("rapidjson: " #x))

#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
