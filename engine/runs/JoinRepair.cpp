#include "engine/runs/JoinRepair.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "engine/hash/HashingPool.h"
#include "engine/recovery/Recovery.h"

namespace SplitMergeFile {

struct JoinRepair::State {
    const RunFolder* folder = nullptr;
    Recovery::Scan scan;
    std::map<std::string, std::size_t> byName; // piece name: its index in the scan
    std::vector<std::size_t> order;            // scan indices in the order they are checked
    std::vector<std::size_t> positionOf;       // scan index: its place in `order`

    std::mutex lock;
    std::condition_variable changed;
    std::vector<char> done; // by scan index
    std::size_t next = 0;   // the place in `order` of the next check to start
    std::size_t reached = 0;
    std::size_t ahead = 2;   // checks start at most this many places past where the join is
    bool everything = false; // the whole set is wanted now, however far ahead
    bool stopping = false;
    std::optional<Fault> failed;
    std::vector<std::thread> threads;

    bool repaired = false; // the whole set was checked and what could be rebuilt was
    std::uint32_t piecesShort = 0;
    std::map<std::size_t, Recovery::RebuiltPiece> rebuilt; // by scan index
    std::set<std::size_t> taken;

    // Checks the next piece in order; called and returns with `guard` held.
    void checkNext(std::unique_lock<std::mutex>& guard) {
        const std::size_t index = order[next++];
        guard.unlock();
        const Status checked = Recovery::checkOnDisk(*folder, scan, index, Recovery::Depth::Crc32);
        guard.lock();
        if (!checked && !failed) {
            failed = checked.fault();
        }
        done[index] = 1;
        changed.notify_all();
    }

    void work() {
        std::unique_lock guard(lock);
        for (;;) {
            changed.wait(guard, [this] {
                return stopping || failed || next >= order.size() || everything || next < reached + ahead;
            });
            if (stopping || failed || next >= order.size()) {
                return;
            }
            checkNext(guard);
        }
    }

    // Waits until `ready` holds, checking pieces itself rather than waiting for a
    // thread to come to them, with a turn about every 50 ms.
    Status waitFor(const std::function<bool()>& ready, std::size_t upTo, const std::function<bool()>& turn) {
        std::unique_lock guard(lock);
        while (!ready()) {
            if (failed) {
                return *failed;
            }
            if (next < order.size() && next <= upTo) {
                checkNext(guard);
            } else {
                changed.wait_for(guard, std::chrono::milliseconds(50));
            }
            guard.unlock();
            const bool goOn = turn();
            guard.lock();
            if (!goOn) {
                return Fault{ECANCELED};
            }
        }
        return failed ? Status{*failed} : Status{};
    }

    // Every piece checked, the recovery slices counted, and the bad pieces rebuilt
    // when there are enough of them.
    Status repair(int scratch, const std::function<bool()>& turn) {
        {
            std::lock_guard guard(lock);
            everything = true;
            changed.notify_all();
        }
        const auto allDone = [this] { return std::all_of(done.begin(), done.end(), [](char d) { return d != 0; }); };
        if (Status st = waitFor(allDone, order.size(), turn); !st) {
            return st;
        }
        if (Status counted = Recovery::countRecovery(*folder, scan); !counted) {
            return counted;
        }
        repaired = true;
        if (!scan.repairable()) {
            piecesShort = std::max<std::uint32_t>(1, scan.piecesMissing());
            return {};
        }
        auto made = Recovery::rebuild(*folder, scan, scratch, [&turn](std::uint64_t, std::uint64_t) { return turn(); });
        if (!made) {
            return made.fault();
        }
        for (Recovery::RebuiltPiece& piece : *made) {
            rebuilt.emplace(byName.at(piece.name), std::move(piece));
        }
        return {};
    }

    void stop() {
        {
            std::lock_guard guard(lock);
            stopping = true;
            changed.notify_all();
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        threads.clear();
    }
};

JoinRepair::JoinRepair() = default;

JoinRepair::~JoinRepair() {
    if (m_state) {
        m_state->stop();
    }
}

void JoinRepair::start(const RunFolder& folder, const std::string& index, std::size_t count,
                       const std::function<std::string(std::size_t)>& nameOf) {
    Result<Par2::Set> set = Recovery::readSet(folder, index);
    if (!set) {
        return;
    }
    auto state = std::make_unique<State>();
    state->folder = &folder;
    state->scan = Recovery::scanOf(std::move(*set));
    const std::size_t pieces = state->scan.pieces.size();
    for (std::size_t i = 0; i < pieces; ++i) {
        state->byName.emplace(state->scan.pieces[i].name, i);
    }
    // The list's pieces in its order, then whatever else the recovery data protects:
    // a rebuild needs to know of every one.
    state->positionOf.assign(pieces, pieces);
    for (std::size_t i = 0; i < count && state->order.size() < pieces; ++i) {
        const auto found = state->byName.find(nameOf(i));
        if (found != state->byName.end() && state->positionOf[found->second] == pieces) {
            state->positionOf[found->second] = state->order.size();
            state->order.push_back(found->second);
        }
    }
    for (std::size_t i = 0; i < pieces; ++i) {
        if (state->positionOf[i] == pieces) {
            state->positionOf[i] = state->order.size();
            state->order.push_back(i);
        }
    }
    state->done.assign(pieces, 0);
    // The copy mostly waits on the kernel: the checks take every core, and the join
    // checks pieces itself where they fall behind.
    const unsigned threads = Checksum::Hashers::cores();
    state->ahead = threads + 1;
    for (unsigned t = 0; t < threads; ++t) {
        try {
            state->threads.emplace_back([s = state.get()] { s->work(); });
        } catch (const std::system_error&) {
            break;
        }
    }
    m_state = std::move(state);
}

bool JoinRepair::active() const {
    return m_state != nullptr;
}

Result<JoinRepair::Piece> JoinRepair::piece(const std::string& name, int scratch, const std::function<bool()>& turn) {
    Piece result;
    if (!m_state) {
        return result;
    }
    State& s = *m_state;
    const auto found = s.byName.find(name);
    if (found == s.byName.end()) {
        return result; // not protected: only the join's own checks hold
    }
    const std::size_t index = found->second;
    {
        std::lock_guard guard(s.lock);
        s.reached = std::max(s.reached, s.positionOf[index]);
        s.changed.notify_all();
    }
    if (Status st = s.waitFor([&] { return s.done[index] != 0; }, s.positionOf[index], turn); !st) {
        return st.fault();
    }
    if (!s.repaired && !s.scan.pieces[index].whole()) {
        if (Status st = s.repair(scratch, turn); !st) {
            return st.fault();
        }
    }
    const auto rebuilt = s.rebuilt.find(index);
    if (rebuilt == s.rebuilt.end()) {
        result.unrepaired = !s.scan.pieces[index].whole();
        return result;
    }
    // A descriptor of its own, at the start, whatever reads it.
    result.rebuilt.reset(::fcntl(rebuilt->second.file->fd(), F_DUPFD_CLOEXEC, 0));
    if (result.rebuilt.get() < 0 || ::lseek(result.rebuilt.get(), 0, SEEK_SET) != 0) {
        return Fault::ofErrno().named(name);
    }
    s.taken.insert(index);
    return result;
}

std::size_t JoinRepair::rebuiltTaken() const {
    return m_state ? m_state->taken.size() : 0;
}

std::uint32_t JoinRepair::piecesShort() const {
    return m_state ? m_state->piecesShort : 0;
}

} // namespace SplitMergeFile
