// The bound cards of a media: their echo servers and, where the host registered them, their
// players.
#include "boundcards.h"

#include <memory>
#include <string>

namespace tarn::mediadispatch {

BoundCards::BoundCards(CardEchoes& cards, EchoRegistry& registry)
    : cards_(cards), registry_(registry) {}

void BoundCards::setQuery(const BoundDisplayCardsQueryCallback& query) {
    BoundDisplayCardsQueryCallback previous = query;  // the old one is destroyed outside the lock
    std::lock_guard<std::mutex> lock(mutex_);
    query_.swap(previous);
}

BoundDisplayCardsQueryCallback BoundCards::query() {
    std::lock_guard<std::mutex> lock(mutex_);
    return query_;
}

void BoundCards::setEditingMode(EditingMode mode) {
    editingMode_ = mode;
}

void BoundCards::updateBoundEchoServers(uint64_t ownerId, uint64_t mediaId, EditingMode mode,
                                        bool playing) {
    if (mode != editingMode_.load()) {
        return;
    }
    const auto boundCards = query();
    if (!boundCards) {
        return;
    }
    for (const auto& card : boundCards(mediaId, mode)) {
        if (const auto server = cards_.find(card)) {
            server->updateSpliceStrategy(ownerId, mediaId, mode, playing);
        }
    }
}

// The player table is filled by no operation of the manager, so this finds players only where a
// host fills it.
void BoundCards::applyToBoundCards(uint64_t mediaId, EditingMode mode, Action action) {
    const auto boundCards = query();
    if (!boundCards) {
        return;
    }
    for (const auto& card : boundCards(mediaId, mode)) {
        const std::string key = vantor::mediadispatch::cardKey(card);
        const auto player = registry_.livePlayer(key);
        if (!player) {
            continue;
        }
        switch (action) {
            case Action::Play:
                player->play(0.0, 0.0);
                registry_.setBlack(key, false);
                break;
            case Action::Stop: {
                const auto server = cards_.find(card);
                if (server && !server->isEmptyOnSpliceSource(editingMode_.load())) {
                    break;
                }
                player->stop(false);
                break;
            }
            case Action::Black:
                registry_.setBlack(key, true);
                break;
        }
    }
}

}  // namespace tarn::mediadispatch
