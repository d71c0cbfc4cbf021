#include "engine/runs/JoinRepair.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/hash/HashingPool.h"
#include "engine/recovery/Recovery.h"

namespace SplitMergeFile {

struct JoinRepair::State {
    const RunFolder* folder = nullptr;
    std::string index;        // the index's name
    bool volumesRead = false; // the recovery slices of every volume are in `scan`
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

    // Checks behind the copy, from the output: each piece appended, and those waiting.
    struct Behind {
        Appended where;
        std::size_t scanIndex = 0;
        std::int64_t length = 0;
        bool bad = false;
    };
    int output = -1;
    std::vector<Behind> behind;
    std::deque<std::size_t> waiting; // places in `behind`
    std::size_t unchecked = 0;       // waiting or being checked
    bool behindBad = false;
    bool rewrote = false;

    bool repaired = false; // the whole set was checked and what could be rebuilt was
    std::uint32_t piecesShort = 0;
    std::map<std::size_t, Recovery::RebuiltPiece> rebuilt; // by scan index
    std::set<std::size_t> taken;

    bool checksBehind() const { return output >= 0 && !repaired; }

    // A check on disk may start: ahead of the join, or anywhere once everything is wanted.
    bool mayCheck() const { return next < order.size() && (everything || (output < 0 && next < reached + ahead)); }

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

    // Checks the next appended piece in the output; called and returns with `guard` held.
    void checkBehind(std::unique_lock<std::mutex>& guard) {
        const std::size_t place = waiting.front();
        waiting.pop_front();
        const Behind piece = behind[place];
        guard.unlock();
        const Result<bool> matches =
            Recovery::matchesPiece(output, static_cast<std::uint64_t>(piece.where.offset),
                                   static_cast<std::uint64_t>(piece.length), scan, piece.scanIndex);
        guard.lock();
        if (!matches && !failed) {
            failed = matches.fault();
        }
        if (matches && !*matches) {
            behind[place].bad = true;
            behindBad = true;
        }
        --unchecked;
        changed.notify_all();
    }

    void work() {
        std::unique_lock guard(lock);
        for (;;) {
            changed.wait(guard, [this] {
                return stopping || failed || !waiting.empty() || mayCheck() || (output < 0 && next >= order.size());
            });
            if (stopping || failed) {
                return;
            }
            if (!waiting.empty()) {
                checkBehind(guard);
            } else if (mayCheck()) {
                checkNext(guard);
            } else {
                return; // checking ahead, and every check has started
            }
        }
    }

    // Waits until `ready` holds, doing the checks itself rather than waiting for a
    // thread to come to them (those on disk up to place `upTo` in `order`), with a
    // turn about every 50 ms.
    Status waitFor(const std::function<bool()>& ready, std::size_t upTo, const std::function<bool()>& turn) {
        std::unique_lock guard(lock);
        while (!ready()) {
            if (failed) {
                return *failed;
            }
            if (!waiting.empty()) {
                checkBehind(guard);
            } else if (next < order.size() && next <= upTo && (output < 0 || everything)) {
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
        // The output's checks first: they may find more to rebuild.
        if (Status st = waitFor([this] { return unchecked == 0; }, 0, turn); !st) {
            return st;
        }
        {
            std::lock_guard guard(lock);
            everything = true;
            changed.notify_all();
        }
        const auto allDone = [this] { return std::all_of(done.begin(), done.end(), [](char d) { return d != 0; }); };
        if (Status st = waitFor(allDone, order.size(), turn); !st) {
            return st;
        }
        if (!volumesRead) {
            Result<Par2::Set> whole = Recovery::readSet(*folder, index);
            if (!whole) {
                return whole.fault();
            }
            if (whole->id == scan.set.id) {
                scan.set.recovery = std::move(whole->recovery);
            }
            volumesRead = true;
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

    // After a repair, the pieces already appended that are bad, on disk or in the
    // output: each written over with its rebuilt bytes, up to the first that was not
    // rebuilt, which is returned.
    Result<std::optional<Appended>> mend() {
        for (const Behind& piece : behind) {
            if (!piece.bad && scan.pieces[piece.scanIndex].whole()) {
                continue;
            }
            const auto found = rebuilt.find(piece.scanIndex);
            if (found == rebuilt.end()) {
                return std::optional<Appended>(piece.where);
            }
            if (Status st = overwrite(found->second.file->fd(), piece.where.offset, piece.length); !st) {
                return st.fault();
            }
            rewrote = true;
            taken.insert(piece.scanIndex);
        }
        behind.clear();
        return std::optional<Appended>();
    }

    // Copies the first `length` bytes of `from` to `offset` of the output.
    Status overwrite(int from, std::int64_t offset, std::int64_t length) const {
        std::vector<char> buffer(std::size_t{1} << 20);
        for (std::int64_t at = 0; at < length;) {
            const auto want = static_cast<std::size_t>(std::min<std::int64_t>(length - at, std::ssize(buffer)));
            const ssize_t got = ::pread(from, buffer.data(), want, at);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return got < 0 ? Fault::ofErrno() : Fault{EIO};
            }
            for (ssize_t put = 0; put < got;) {
                const ssize_t n =
                    ::pwrite(output, buffer.data() + put, static_cast<std::size_t>(got - put), offset + at + put);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    return n < 0 ? Fault::ofErrno() : Fault{ENOSPC};
                }
                put += n;
            }
            at += got;
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
                       const std::function<std::string(std::size_t)>& nameOf, int output) {
    // The volumes are read once a piece is found bad.
    Result<Par2::Set> set = Recovery::readSet(folder, index, nullptr, true);
    if (!set) {
        return;
    }
    auto state = std::make_unique<State>();
    state->folder = &folder;
    state->index = index;
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
    state->output = output;
    // Checking ahead, the copy mostly waits on the kernel: the checks take every core,
    // and the join checks pieces itself where they fall behind. Behind, the checks read
    // what the copy has just written, a pass that takes a core less than the copy's.
    const unsigned cores = Checksum::Hashers::cores();
    const unsigned threads = output >= 0 ? std::max(cores, 2U) - 1 : cores;
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
    if (s.checksBehind()) {
        // Copied as it is unless it is plainly bad or an appended one was found bad.
        bool bad = false;
        {
            std::lock_guard guard(s.lock);
            bad = s.behindBad;
        }
        if (!bad) {
            const Result<struct stat> st = s.folder->statEntry(name, true);
            bad =
                !st || !S_ISREG(st->st_mode) || static_cast<std::uint64_t>(st->st_size) != s.scan.pieces[index].length;
        }
        if (!bad) {
            return result;
        }
        if (Status st = s.repair(scratch, turn); !st) {
            return st.fault();
        }
        auto earlier = s.mend();
        if (!earlier) {
            return earlier.fault();
        }
        if (*earlier) {
            result.earlier = *earlier;
            return result;
        }
    }
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

void JoinRepair::appended(const std::string& name, Appended where, std::int64_t length) {
    if (!m_state || !m_state->checksBehind()) {
        return;
    }
    State& s = *m_state;
    const auto found = s.byName.find(name);
    if (found == s.byName.end()) {
        return;
    }
    std::lock_guard guard(s.lock);
    s.behind.push_back({where, found->second, length, false});
    s.waiting.push_back(s.behind.size() - 1);
    ++s.unchecked;
    s.changed.notify_all();
}

Result<std::optional<JoinRepair::Appended>> JoinRepair::settle(int scratch, const std::function<bool()>& turn) {
    if (!m_state || !m_state->checksBehind()) {
        return std::optional<Appended>();
    }
    State& s = *m_state;
    if (Status st = s.waitFor([&s] { return s.unchecked == 0; }, 0, turn); !st) {
        return st.fault();
    }
    if (!s.behindBad) {
        return std::optional<Appended>();
    }
    if (Status st = s.repair(scratch, turn); !st) {
        return st.fault();
    }
    return s.mend();
}

bool JoinRepair::rewroteOutput() const {
    return m_state && m_state->rewrote;
}

std::size_t JoinRepair::rebuiltTaken() const {
    return m_state ? m_state->taken.size() : 0;
}

std::uint32_t JoinRepair::piecesShort() const {
    return m_state ? m_state->piecesShort : 0;
}

} // namespace SplitMergeFile
