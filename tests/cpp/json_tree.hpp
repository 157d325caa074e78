// The oracle of the JSON tests: a document's whole tree, built by one more listener of the same
// reader, so that a tree lookup can stand beside what the module reads while the text streams by.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "media/json_document.hpp"

namespace kestrin {

class TreeBuilder final : public JsonListener {
public:
    void null() override { put(nullptr); }
    void boolean(bool value) override { put(value); }
    void signed_integer(std::int64_t value) override { put(value); }
    void unsigned_integer(std::uint64_t value) override { put(value); }
    void floating(double value) override { put(value); }
    void string(std::string& value) override { put(std::move(value)); }
    void start_object() override { open_.push_back(put(JsonValue::object())); }
    void member_name(std::string& name) override { key_ = std::move(name); }
    void end_object() override { open_.pop_back(); }
    void start_array() override { open_.push_back(put(JsonValue::array())); }
    void end_array() override { open_.pop_back(); }

    JsonValue take_root() { return std::move(root_); }

private:
    // Puts `value` where the parse stands: the root, the next array element, or the member
    // under the last key (replacing an earlier member of the same name). Containers on the open
    // stack are never moved while they are open: an array or object only grows while it is the
    // innermost one, and an object's members are nodes that stay put.
    JsonValue* put(JsonValue value) {
        if (open_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        JsonValue& container = *open_.back();
        if (container.is_array()) {
            container.push_back(std::move(value));
            return &container.back();
        }
        JsonValue& member = container[key_];
        member = std::move(value);
        return &member;
    }

    JsonValue root_;
    std::vector<JsonValue*> open_;
    std::string key_;
};

// The whole tree of `bytes` by the reader's rules, or nothing when they are not one document. Of
// duplicate member names the later one counts.
inline std::optional<JsonValue> read_json_document(std::string_view bytes) {
    TreeBuilder builder;
    if (!read_json(bytes, builder)) return std::nullopt;
    return builder.take_root();
}

}  // namespace kestrin
