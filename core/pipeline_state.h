#pragma once

#include <QString>

namespace quovant {

// What the pipeline is doing; `error` carries the message shown until it returns to idle.
struct PipelineState {
    enum class Kind { idle, recording, thinking, error };

    Kind kind = Kind::idle;
    QString message;

    static PipelineState idle() { return {Kind::idle, {}}; }
    static PipelineState recording() { return {Kind::recording, {}}; }
    static PipelineState thinking() { return {Kind::thinking, {}}; }
    static PipelineState error(QString message) { return {Kind::error, std::move(message)}; }

    bool isError() const { return kind == Kind::error; }
    bool operator==(const PipelineState&) const = default;
};

} // namespace quovant
