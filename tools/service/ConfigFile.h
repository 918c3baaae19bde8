// Saving one key of the service's JSON configuration file, atomically: the
// whole file is written anew beside the old one (FILE.new), flushed to disk,
// given the old file's mode and owner, and renamed over it; the directory is
// flushed too. Any failure leaves the old file as it was and says why.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace rd::service {

// Sets `key` to `value` in the file's object, keeping its other keys and
// their order. False with the reason (the file unchanged).
bool SaveConfigValue(const std::string& path, const std::string& key,
                     const nlohmann::ordered_json& value, std::string& error);

}  // namespace rd::service
