#pragma once

#include <QtGlobal>

namespace quovant {

// Bounds on the work of one indexing run. Every creator states all five values.
struct RepositoryIndexLimits {
    qint64 maxTrackedFiles;
    qint64 maxSourceFiles;
    qint64 maxBytesPerSourceFile;
    qint64 maxVocabularyTerms;
    qint64 maxKeyFiles;

    bool operator==(const RepositoryIndexLimits&) const = default;
};

} // namespace quovant
