#include "loopback/local_service_endpoint.h"

using namespace Qt::StringLiterals;

namespace quovant {

QUrl LocalServiceEndpoint::resolve(const QString& candidate, const QString& fallback) {
    const QUrl url(candidate, QUrl::StrictMode);
    if (url.isValid() && isAllowed(url)) {
        return url;
    }
    return QUrl(fallback, QUrl::StrictMode);
}

bool LocalServiceEndpoint::isAllowed(const QUrl& url) {
    if (!url.isValid()) {
        return false;
    }
    const QString scheme = url.scheme().toLower();
    if (scheme != u"http"_s && scheme != u"https"_s) {
        return false;
    }
    // An "@" with nothing before it still marks credentials in the text.
    if (!url.userName().isEmpty() || !url.password().isEmpty() ||
        url.authority(QUrl::FullyEncoded).contains(u'@')) {
        return false;
    }
    const QString host = url.host().toLower();
    return host == u"localhost"_s || host == u"127.0.0.1"_s || host == u"::1"_s;
}

} // namespace quovant
