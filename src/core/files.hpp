#pragma once
// Small helpers for reading system files under a root that tests can point at a fabricated tree.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace orvane::files {

// `absolute` (e.g. "/proc/meminfo") taken relative to `root` ("/" on a real system).
inline std::filesystem::path under(const std::filesystem::path& root, std::string_view absolute) {
    return root / std::filesystem::path(absolute).relative_path();
}

// The whole file as text, or nothing when it cannot be read.
std::optional<std::string> read_text(const std::filesystem::path& path);

}  // namespace orvane::files
