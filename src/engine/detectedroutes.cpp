#include "engine/detectedroutes.h"

#include "engine/encodingdetection.h"
#include "engine/multibyte.h"

#include <algorithm>

std::optional<TextEncoding> guessFromStart(const char *data, qsizetype size)
{
    const qsizetype start = std::min(size, DetectionPrefix);
    std::optional<TextEncoding> guess = proposedEncoding(QByteArray::fromRawData(data, int(start)));
    if (!guess && start < size)
        guess = proposedEncoding(QByteArray::fromRawData(data, int(size)));
    return guess;
}

DetectedRoutes::DetectedRoutes(const RepOptions &options, LineBreakMode mode)
    : m_options(options)
    , m_mode(mode)
{
}

DetectedRoutes::~DetectedRoutes() = default;

const Utf8Replace *DetectedRoutes::routeFor(const TextEncoding &encoding) const
{
    if (encoding.isAutomatic() || !MultiByteTable::forCodec(encoding.codec()))
        return nullptr;
    const std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_routes.find(encoding.codec());
    if (it == m_routes.end()) {
        RepOptions options = m_options;
        options.encoding = encoding;
        std::unique_ptr<Utf8Replace> route;
        if (Utf8Replace::handles(options))
            route = std::make_unique<Utf8Replace>(options, m_mode);
        it = m_routes.emplace(encoding.codec(), std::move(route)).first;
    }
    return it->second.get();
}
