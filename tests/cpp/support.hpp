#pragma once
// Helpers shared by the C++ tests: internal-failure texts, log capture, temporary directories and the
// fixture folders written by tests/fixtures/make_*.py.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include "core/errors.hpp"

namespace orvane::test_support {

// The message of the InternalError that f throws, or "<no error>".
inline std::string error_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const InternalError& e) {
        return e.what();
    }
    return "<no error>";
}

// The text of a failed equality assertion with both values.
inline std::string eq_text(std::size_t left, std::size_t right) {
    return "assertion `left == right` failed\n  left: " + std::to_string(left) + "\n right: " + std::to_string(right);
}

// Records of one logger while in scope, one line per record formatted with `pattern`.
class LogCapture {
public:
    explicit LogCapture(spdlog::logger& logger, spdlog::level::level_enum level = spdlog::level::info,
                        const std::string& pattern = "%l|%v")
        : logger_(logger), old_level_(logger.level()) {
        sink_ = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_);
        sink_->set_pattern(pattern);
        logger_.sinks().push_back(sink_);
        logger_.set_level(level);
    }
    ~LogCapture() {
        std::erase(logger_.sinks(), sink_);
        logger_.set_level(old_level_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() {
        logger_.flush();
        return stream_.str();
    }

private:
    spdlog::logger& logger_;
    spdlog::level::level_enum old_level_;
    std::ostringstream stream_;
    std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink_;
};

// A fresh directory, removed with everything in it when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "orvane") {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Writes a file at `relative` (an absolute path is taken relative to this directory, so the directory
    // can stand in for "/"), creating its folders.
    void write(const std::string& relative, const std::string& content) const {
        const std::filesystem::path p = path_ / std::filesystem::path(relative).relative_path();
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
    }
    void mkdir(const std::string& relative) const {
        std::filesystem::create_directories(path_ / std::filesystem::path(relative).relative_path());
    }

private:
    std::filesystem::path path_;
};

// build/fixtures/<name>, as named by ORVANE_TEST_FIXTURES; fails the calling test when the variable is unset or
// the folder lacks `marker`.
inline std::filesystem::path fixture_dir(const std::string& name, const std::string& marker = "expected.json") {
    const char* root = std::getenv("ORVANE_TEST_FIXTURES");
    if (root == nullptr || *root == '\0') {
        ADD_FAILURE() << "ORVANE_TEST_FIXTURES is not set: run `make fixtures` (or `python tests/fixtures/make_"
                      << name << ".py build/fixtures/" << name << "`) and point it at build/fixtures";
        return {};
    }
    std::filesystem::path dir = std::filesystem::path(root) / name;
    if (!std::filesystem::exists(dir / marker))
        ADD_FAILURE() << dir << " holds no " << marker << ": run tests/fixtures/make_" << name << ".py";
    return dir;
}

}  // namespace orvane::test_support
