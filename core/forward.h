#pragma once

// Value types owned by higher modules that the ports mention. Declaring them here keeps the core
// at the bottom of the module graph; implementations include the real headers.
namespace quovant {

struct Config;
enum class PushToTalkKey;
struct FormattingContext;
enum class RewriteCommand;
struct RepositoryContext;

} // namespace quovant
