#include "engine/detectedroutes.h"

#include "engine/match/multibyte.h"

DetectedRoutes::DetectedRoutes(
    const ReplaceSettings &settings, const ReplacePairs &pairs, LineBreakMode mode)
    : m_settings(settings)
    , m_pairs(pairs)
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
        ReplaceSettings settings = m_settings;
        settings.encoding = encoding;
        std::unique_ptr<Utf8Replace> route;
        if (Utf8Replace::handles(settings, m_pairs))
            route = std::make_unique<Utf8Replace>(settings, m_pairs, m_mode);
        it = m_routes.emplace(encoding.codec(), std::move(route)).first;
    }
    return it->second.get();
}
