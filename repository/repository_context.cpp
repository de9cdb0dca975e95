#include "repository/repository_context.h"

#include <QJsonArray>

using namespace Qt::StringLiterals;

namespace quovant {

QString RepositoryContext::promptContext() const {
    QStringList lines{u"Repository: "_s + name};
    if (branch && !branch->isEmpty()) {
        lines.append(u"Branch: "_s + *branch);
    }
    if (!languages.isEmpty()) {
        lines.append(u"Languages: "_s + languages.join(u", "_s));
    }
    if (!keyFiles.isEmpty()) {
        lines.append(u"Key files: "_s + keyFiles.join(u", "_s));
    }
    return lines.join(u'\n');
}

QJsonObject RepositoryContext::toJson() const {
    QJsonObject object{
        {u"rootPath"_s, rootPath},
        {u"name"_s, name},
        {u"languages"_s, QJsonArray::fromStringList(languages)},
        {u"keyFiles"_s, QJsonArray::fromStringList(keyFiles)},
        {u"vocabulary"_s, QJsonArray::fromStringList(vocabulary)},
    };
    if (branch) {
        object.insert(u"branch"_s, *branch);
    }
    return object;
}

namespace {

std::optional<QStringList> stringArray(const QJsonValue& value) {
    if (!value.isArray()) {
        return std::nullopt;
    }
    QStringList result;
    for (const QJsonValue& element : value.toArray()) {
        if (!element.isString()) {
            return std::nullopt;
        }
        result.append(element.toString());
    }
    return result;
}

} // namespace

std::optional<RepositoryContext> RepositoryContext::fromJson(const QJsonObject& object) {
    const QJsonValue root = object.value(u"rootPath"_s);
    const QJsonValue name = object.value(u"name"_s);
    const auto languages = stringArray(object.value(u"languages"_s));
    const auto keyFiles = stringArray(object.value(u"keyFiles"_s));
    const auto vocabulary = stringArray(object.value(u"vocabulary"_s));
    if (!root.isString() || !name.isString() || !languages || !keyFiles || !vocabulary) {
        return std::nullopt;
    }
    RepositoryContext context{root.toString(), name.toString(), std::nullopt,
                              *languages,      *keyFiles,       *vocabulary};
    const QJsonValue branch = object.value(u"branch"_s);
    if (branch.isString()) {
        context.branch = branch.toString();
    } else if (!branch.isUndefined() && !branch.isNull()) {
        return std::nullopt;
    }
    return context;
}

} // namespace quovant
