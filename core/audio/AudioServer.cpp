#include "AudioServer.h"

#include <algorithm>

namespace pq {

namespace {
template <class T> const T* byIndex(const std::vector<T>& list, std::uint32_t index) {
    auto it = std::find_if(list.begin(), list.end(), [&](const T& e) { return e.index == index; });
    return it == list.end() ? nullptr : &*it;
}
} // namespace

const ServerState::Client* ServerState::client(std::uint32_t index) const {
    return byIndex(clients, index);
}
const ServerState::Device* ServerState::sink(std::uint32_t index) const {
    return byIndex(sinks, index);
}
const ServerState::Device* ServerState::source(std::uint32_t index) const {
    return byIndex(sources, index);
}
const ServerState::Device* ServerState::sourceNamed(const QString& name) const {
    auto it = std::find_if(sources.begin(), sources.end(),
                           [&](const Device& d) { return d.name == name; });
    return it == sources.end() ? nullptr : &*it;
}
const ServerState::Stream* ServerState::playback(std::uint32_t index) const {
    return byIndex(playbacks, index);
}

AudioServer::~AudioServer() = default;

} // namespace pq
