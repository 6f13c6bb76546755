// The display cards bound to a media, as the host's query reports them: their echo servers learn
// when a media of the current editing mode plays or stops, and on the viewer side their players
// stand in for a media without echo media. Owned by the manager's Impl; any thread may call it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include <tarnmediadispatchvideoecho/ivideoechomgr.h>

#include "cardechoes.h"
#include "echoregistry.h"

namespace tarn::mediadispatch {

class BoundCards {
public:
    enum class Action { Play, Stop, Black };

    BoundCards(CardEchoes& cards, EchoRegistry& registry);

    void setQuery(const BoundDisplayCardsQueryCallback& query);
    void setEditingMode(EditingMode mode);
    void updateBoundEchoServers(uint64_t ownerId, uint64_t mediaId, EditingMode mode, bool playing);
    void applyToBoundCards(uint64_t mediaId, EditingMode mode, Action action);

private:
    BoundDisplayCardsQueryCallback query();

    CardEchoes& cards_;
    EchoRegistry& registry_;
    std::atomic<EditingMode> editingMode_{vantor::kEditingModeDefault};
    std::mutex mutex_;
    BoundDisplayCardsQueryCallback query_;  // guarded by mutex_
};

}  // namespace tarn::mediadispatch
