#include "weights/config.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "core/logging.hpp"

namespace orvane::weights {

namespace {

using nlohmann::json;

// How one integer field resolved against its list of keys.
enum class Lookup { Absent, Unusable, Found };

struct IntField {
    Lookup state = Lookup::Absent;
    std::uint64_t value = 0;
};

// Takes the first key of `keys` that the object has, whatever its value; a later key is never consulted
// once an earlier one is present. The value counts only as a non-negative JSON integer.
IntField lookup_unsigned(const json& object, std::initializer_list<const char*> keys) {
    if (!object.is_object()) return {};
    for (const char* key : keys) {
        auto it = object.find(key);
        if (it == object.end()) continue;
        if (!it->is_number_unsigned()) return {Lookup::Unusable, 0};
        return {Lookup::Found, it->get<std::uint64_t>()};
    }
    return {};
}

// Any JSON number as a single-precision float; anything else (or absence) gives the default.
float lookup_float(const json& object, const char* key, float fallback) {
    if (!object.is_object()) return fallback;
    auto it = object.find(key);
    if (it == object.end() || !it->is_number()) return fallback;
    double value = 0.0;
    if (it->is_number_unsigned()) {
        value = static_cast<double>(it->get<std::uint64_t>());
    } else if (it->is_number_integer()) {
        value = static_cast<double>(it->get<std::int64_t>());
    } else {
        value = it->get<double>();
    }
    return static_cast<float>(value);
}

std::string os_error_text(int err) { return fmt::format("{} (os error {})", std::strerror(err), err); }

}  // namespace

Result<ModelConfig> ModelConfig::from_json(const json& document) {
    const json* root = &document;
    if (document.is_object()) {
        auto wrapper = document.find("text_config");
        if (wrapper != document.end()) {
            log::weights().info("Found text_config wrapper (VL model), using inner config");
            // A non-object text_config makes every lookup fail (lookup_* return Absent).
            root = &*wrapper;
        }
    }
    const json& cfg = *root;

    ModelConfig out;
    // A required field: the first present key of its list, which must hold a non-negative integer.
    auto required = [&](std::initializer_list<const char*> keys, std::uint64_t& field) -> bool {
        IntField f = lookup_unsigned(cfg, keys);
        if (f.state != Lookup::Found) return false;
        field = f.value;
        return true;
    };

    if (!required({"hidden_size"}, out.hidden_size)) return std::unexpected("Missing hidden_size");
    if (!required({"moe_intermediate_size", "intermediate_size"}, out.moe_intermediate_size))
        return std::unexpected("Missing moe_intermediate_size or intermediate_size");
    if (!required({"n_routed_experts", "num_experts", "num_local_experts"}, out.n_routed_experts))
        return std::unexpected("Missing n_routed_experts, num_experts, or num_local_experts");
    if (!required({"num_experts_per_tok", "experts_per_token"}, out.num_experts_per_tok))
        return std::unexpected("Missing num_experts_per_tok or experts_per_token");
    if (!required({"num_hidden_layers"}, out.num_hidden_layers))
        return std::unexpected("Missing num_hidden_layers");

    // Dense prefix: an explicit count wins; otherwise only a non-interleaved sparse step is supported.
    IntField first_k = lookup_unsigned(cfg, {"first_k_dense_replace"});
    if (first_k.state == Lookup::Unusable) return std::unexpected("first_k_dense_replace not a number");
    if (first_k.state == Lookup::Found) {
        out.first_k_dense_replace = first_k.value;
    } else {
        IntField step = lookup_unsigned(cfg, {"decoder_sparse_step"});
        if (step.state == Lookup::Unusable) return std::unexpected("decoder_sparse_step not a number");
        if (step.state == Lookup::Found && step.value >= 2)
            return std::unexpected(
                fmt::format("decoder_sparse_step={} (interleaved MoE) not yet supported", step.value));
        out.first_k_dense_replace = 0;
    }
    // More dense layers than layers would make the MoE layer count wrap around in every loader.
    if (out.first_k_dense_replace > out.num_hidden_layers)
        return std::unexpected(fmt::format("first_k_dense_replace ({}) exceeds num_hidden_layers ({})",
                                           out.first_k_dense_replace, out.num_hidden_layers));

    // Lenient: a value of any other type counts as absent.
    IntField shared = lookup_unsigned(cfg, {"n_shared_experts"});
    out.n_shared_experts = shared.state == Lookup::Found ? shared.value : 0;

    out.routed_scaling_factor = lookup_float(cfg, "routed_scaling_factor", 1.0f);
    out.swiglu_limit = lookup_float(cfg, "swiglu_limit", 0.0f);
    out.swiglu_alpha = out.swiglu_limit > 0.0f ? kClampedSwigluAlpha : 0.0f;
    return out;
}

std::uint64_t ModelConfig::total_moe_layers() const {
    ORVANE_CHECK(first_k_dense_replace <= num_hidden_layers,
                 "first_k_dense_replace ({}) exceeds num_hidden_layers ({})", first_k_dense_replace,
                 num_hidden_layers);
    return num_hidden_layers - first_k_dense_replace;
}

Result<std::string> read_text_file(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(os_error_text(errno));
    std::string text;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) text.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            return std::unexpected(os_error_text(err));
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

Result<LoadedModelConfig> load_model_config(const std::filesystem::path& model_dir) {
    Result<std::string> text = read_text_file(model_dir / "config.json");
    if (!text) return std::unexpected(fmt::format("Failed to read config.json: {}", text.error()));
    const std::uint64_t fingerprint = config_fingerprint(*text);

    json document;
    try {
        document = json::parse(*text);
    } catch (const json::exception& e) {
        return std::unexpected(fmt::format("Failed to parse config.json: {}", e.what()));
    }
    Result<ModelConfig> config = ModelConfig::from_json(document);
    if (!config) return std::unexpected(fmt::format("Failed to extract MoE config: {}", config.error()));
    return LoadedModelConfig{*config, fingerprint};
}

}  // namespace orvane::weights
