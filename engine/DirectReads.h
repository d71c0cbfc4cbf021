#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/Copy.h"
#include "engine/hash/HashingPool.h"

// Only the read-ahead includes this: its reads around the page cache.
namespace Copy {

// The threads that read pieces around the page cache, and the blocks they read into.
// The readers claim blocks of the queued pieces in order, each a slot at the back,
// and fill them; the join takes the slots in turn as it copies. Where pieces are
// hashed, hashing threads take each piece's filled slots in order, several pieces at
// once. A slot's block is given back once it is copied and hashed, as far as either
// is wanted, and the slots before it are.
struct ReadAhead::Direct {
    // A piece opened for reads around the page cache; closed once nothing reads it.
    struct Piece {
        std::size_t index;
        int fd;
        std::int64_t size; // as it was when opened: what is read of it
        dev_t device;
        ino_t inode;
        std::atomic<std::size_t>& open;
        // Its hash, under the mutex but for the hashing thread that holds `hashing`.
        std::unique_ptr<Checksum::Sha256> hash;
        std::int64_t hashedTo = 0; // the offset of the next slot to hash
        bool hashing = false;
        int error = 0; // of the first read that failed
        std::optional<Fault> hashFault;
        Piece(std::size_t index, int fd, std::int64_t size, const struct stat& st, std::atomic<std::size_t>& open)
            : index(index), fd(fd), size(size), device(st.st_dev), inode(st.st_ino), open(open) {
            ++open;
        }
        Piece(const Piece&) = delete;
        Piece& operator=(const Piece&) = delete;
        ~Piece() {
            ::close(fd);
            --open;
        }
    };
    struct Slot {
        std::shared_ptr<Piece> piece;
        std::int64_t offset;
        std::int64_t want; // asked for: a whole number of alignment blocks
        char* data;
        std::int64_t bytes = 0; // read; none after a failure or past the end
        bool filled = false;
        bool hashed;
        bool copied;
    };

    // Pieces queued or in slots: their descriptors are open. First, so that it
    // outlives them.
    std::atomic<std::size_t> pieces{0};
    const bool hashes;
    const bool copies;
    std::mutex mutex;
    std::condition_variable claimable; // for the readers: a piece and a free block, or the end
    std::condition_variable filled;    // for the join: a slot filled
    std::condition_variable hashable;  // for the hashing threads: a slot filled, or the end
    std::condition_variable told;      // for whoever waits for a digest, or for pieces to be done
    std::deque<std::shared_ptr<Piece>> queue;
    std::int64_t claimed = 0;   // of the queue's front piece
    std::deque<Slot> slots;     // references stay valid as the ends change
    std::uint64_t frontSeq = 0; // the number of the front slot; they count up from the back
    std::vector<char*> free;
    std::vector<char*> blocks;
    std::size_t current = 0;   // the join's piece: those before it are of no more use
    std::uint64_t copySeq = 0; // the slot the join copies from
    std::int64_t used = 0;     // of that slot
    // Of the join's piece: bytes taken from the slots, whether it read some itself, and
    // its size as the readers read it (-1: none taken yet).
    std::int64_t served = 0;
    bool bypassed = false;
    std::int64_t servedSize = -1;
    std::map<std::size_t, Hashed> digests; // told, not yet asked for
    bool quit = false;
    std::atomic<bool> refused{false}; // a read around the page cache was refused
    std::vector<std::thread> readers;
    std::vector<std::thread> hashers;

    Direct(bool hashes, bool copies) : hashes(hashes), copies(copies) {
        for (std::size_t i = 0; i < directBlocks; ++i) {
            if (char* block = static_cast<char*>(std::aligned_alloc(directAlignment, directBlockBytes))) {
                blocks.push_back(block);
                free.push_back(block);
            }
        }
        for (unsigned i = 0; i < directReaders && !blocks.empty(); ++i) {
            try {
                readers.emplace_back([this] { read(); });
            } catch (const std::system_error&) {
                break;
            }
        }
        for (unsigned i = 0; hashes && i < Checksum::Hashers::cores() && !readers.empty(); ++i) {
            try {
                hashers.emplace_back([this] { hash(); });
            } catch (const std::system_error&) {
                break;
            }
        }
        if (hashes && hashers.empty()) {
            // Pieces nobody would hash are not taken.
            refused = true;
        }
    }

    ~Direct() {
        {
            const std::lock_guard lock(mutex);
            quit = true;
        }
        claimable.notify_all();
        hashable.notify_all();
        for (std::thread& thread : readers) {
            thread.join();
        }
        for (std::thread& thread : hashers) {
            thread.join();
        }
        slots.clear();
        queue.clear();
        for (char* block : blocks) {
            std::free(block);
        }
    }

    Direct(const Direct&) = delete;
    Direct& operator=(const Direct&) = delete;

    Slot* slotAt(std::uint64_t seq) { return seq - frontSeq < slots.size() ? &slots[seq - frontSeq] : nullptr; }

    // Under the lock: gives back the blocks of the slots done with at the front.
    void release() {
        // One reader woken per block: a wake-up of them all per block costs the cores more
        // than the reads.
        bool freed = false;
        while (!slots.empty() && slots.front().filled && slots.front().hashed && slots.front().copied) {
            free.push_back(slots.front().data);
            slots.pop_front();
            ++frontSeq;
            freed = true;
            claimable.notify_one();
        }
        if (freed && !copies) {
            told.notify_all();
        }
    }

    void read() {
        std::unique_lock lock(mutex);
        for (;;) {
            claimable.wait(lock, [this] { return quit || (!queue.empty() && !free.empty()); });
            if (quit) {
                return;
            }
            std::shared_ptr<Piece> piece = queue.front();
            const std::int64_t offset = claimed;
            const auto want = static_cast<std::size_t>(std::min<std::int64_t>(
                directBlockBytes, (piece->size - offset + directAlignment - 1) / directAlignment * directAlignment));
            claimed += static_cast<std::int64_t>(want);
            if (claimed >= piece->size) {
                queue.pop_front();
                claimed = 0;
            }
            Slot& slot = slots.emplace_back(
                Slot{piece, offset, static_cast<std::int64_t>(want), free.back(), 0, false, !hashes, !copies});
            free.pop_back();
            lock.unlock();
            ssize_t n = 0;
            for (;;) {
                n = ::pread(piece->fd, slot.data, want, offset);
                if (n < 0 && errno == EINVAL && setDirect(piece->fd, false)) {
                    // Refused after all: read through the page cache, with the kernel
                    // reading the rest ahead, as it does the pieces after it.
                    refused = true;
                    ::posix_fadvise(piece->fd, offset, piece->size - offset, POSIX_FADV_WILLNEED);
                    continue;
                }
                if (n >= 0 || errno != EINTR) {
                    break;
                }
            }
            const int error = n < 0 ? errno : 0;
            lock.lock();
            slot.bytes = std::max<ssize_t>(n, 0);
            if (error != 0 && piece->error == 0) {
                piece->error = error;
            }
            slot.filled = true;
            piece.reset();
            filled.notify_all();
            if (hashes) {
                // A thread busy with the piece takes the slot itself once done.
                hashable.notify_one();
            }
            release();
        }
    }

    // The first slot a hashing thread may take: filled, the next of its piece, which
    // no other thread hashes.
    Slot* nextToHash() {
        for (Slot& slot : slots) {
            if (!slot.hashed && slot.filled && !slot.piece->hashing && slot.piece->hashedTo == slot.offset) {
                return &slot;
            }
        }
        return nullptr;
    }

    void hash() {
        std::unique_lock lock(mutex);
        for (;;) {
            Slot* slot = nullptr;
            hashable.wait(lock, [&] { return quit || (slot = nextToHash()) != nullptr; });
            if (quit) {
                return;
            }
            Piece& piece = *slot->piece;
            piece.hashing = true;
            lock.unlock();
            std::optional<Hashed> done;
            try {
                if (!piece.hash) {
                    piece.hash = std::make_unique<Checksum::Sha256>();
                }
                if (Status updated = piece.hash->update(slot->data, static_cast<std::size_t>(slot->bytes));
                    !updated && !piece.hashFault) {
                    piece.hashFault = updated.fault();
                }
                if (slot->offset + slot->want >= piece.size) {
                    done = finish(piece);
                }
            } catch (const std::bad_alloc&) {
                done = Hashed{Checksum::failure(std::strerror(ENOMEM)), true};
            }
            lock.lock();
            piece.hashing = false;
            piece.hashedTo = slot->offset + slot->want;
            slot->hashed = true;
            if (done) {
                digests.insert_or_assign(piece.index, std::move(*done));
                told.notify_all();
            }
            release();
        }
    }

    static Hashed finish(Piece& piece) {
        if (piece.hashFault) {
            return {*piece.hashFault, true};
        }
        const Result<Checksum::Digest> digest = piece.hash->finish();
        if (!digest) {
            return {digest.fault(), true};
        }
        if (piece.error != 0) {
            return {Fault{piece.error}, false};
        }
        return {*digest, false};
    }

    // The join's slot is copied: on to the next.
    void copiedSlot(Slot& slot) {
        slot.copied = true;
        ++copySeq;
        used = 0;
        release();
    }

    void pass(std::size_t index) {
        std::unique_lock lock(mutex);
        if (!copies) {
            return;
        }
        if (index != current) {
            served = 0;
            bypassed = false;
            servedSize = -1;
        }
        current = index;
        while (!queue.empty() && queue.front()->index < index) {
            queue.pop_front();
            claimed = 0;
        }
        while (Slot* slot = slotAt(copySeq)) {
            if (slot->piece->index >= index) {
                break;
            }
            copiedSlot(*slot);
        }
    }

    std::string_view readAt(const struct stat& st, std::int64_t offset, std::int64_t count) {
        std::unique_lock lock(mutex);
        for (;;) {
            Slot* slot = slotAt(copySeq);
            if (slot == nullptr) {
                if (queue.empty() || queue.front()->index != current) {
                    bypassed = true;
                    return {};
                }
                filled.wait(lock, [this] { return slotAt(copySeq) != nullptr; });
                continue;
            }
            Slot& front = *slot;
            if (front.piece->index != current || front.piece->device != st.st_dev || front.piece->inode != st.st_ino) {
                bypassed = true;
                return {};
            }
            if (!front.filled) {
                filled.wait(lock, [&] { return front.filled; });
            }
            if (used > 0 && used == front.bytes) {
                copiedSlot(front);
                continue;
            }
            // A piece cut short since is read again, so that the copy finds it ended.
            if (front.offset + used != offset || front.bytes == used || front.offset + front.bytes > st.st_size) {
                bypassed = true;
                return {};
            }
            const std::int64_t taken = std::min(count, front.bytes - used);
            const std::string_view bytes(front.data + used, static_cast<std::size_t>(taken));
            used += taken;
            served += taken;
            servedSize = front.piece->size;
            return bytes;
        }
    }

    bool copiedAsHashed(std::size_t index) {
        const std::lock_guard lock(mutex);
        return hashes && index == current && !bypassed && served > 0 && served == servedSize;
    }

    std::optional<Hashed> digest(std::size_t index, bool wait) {
        std::unique_lock lock(mutex);
        auto found = digests.end();
        const auto there = [&] { return (found = digests.find(index)) != digests.end(); };
        if (wait) {
            told.wait(lock, there);
        } else if (!there()) {
            return std::nullopt;
        }
        Hashed hashed = std::move(found->second);
        digests.erase(found);
        return hashed;
    }

    // Waits until fewer than `most` pieces are with the readers.
    void fewerThan(std::size_t most) {
        std::unique_lock lock(mutex);
        // A reader lets go of its piece after the lock: looked at again now and then.
        while (pieces >= most) {
            told.wait_for(lock, std::chrono::milliseconds(5));
        }
    }
};

} // namespace Copy
