#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/Result.h"
#include "engine/RunFolder.h"
#include "engine/TemporaryFile.h"
#include "engine/formats/Par2.h"
#include "engine/hash/Md5.h"
#include "engine/recovery/Combine.h"

// Recovery data for a piece set: PAR 2.0 files beside the pieces that let lost or
// damaged pieces be rebuilt, readable by par2 and other PAR 2.0 programs. The pieces
// are the protected files, by the names the list gives (names within one folder).
namespace Recovery {

// How the recovery data of one set is cut: the slice size, how many recovery slices
// and how many go into each volume.
struct Layout {
    std::uint64_t sliceSize = 0;
    std::uint32_t recoverySlices = 0;
    std::uint32_t slicesPerVolume = 1;
};

// The layout that rebuilds any `lost` of the pieces of `pieceSizes` (bytes each, in
// list order; at most `chunkSize`). Where the pieces are at least 1 MiB and few enough
// for the format's 32768 slices, every piece is two slices of half a piece and each
// volume holds what fits in one piece, so no volume is longer than a piece; `lost`
// pieces cost about `lost` pieces of recovery data. Otherwise a piece is one slice.
Layout layoutFor(const std::vector<std::uint64_t>& pieceSizes, std::uint64_t chunkSize, std::uint32_t lost);

// The names par2 gives: the index BASE.par2 and the volumes BASE.volA+B.par2 (A the
// first exponent, B the count, zero-padded to the widths of the total and of the
// largest count). `base` is the list's name (NAME.splt) or a numbered set's NAME.
std::string indexName(const std::string& base);
std::vector<std::string> volumeNames(const std::string& base, const Layout& layout);

// Told bytes done and the total now and then; false stops the work (ECANCELED).
using Progress = std::function<bool(std::uint64_t done, std::uint64_t total)>;

// Writes the index and the volumes for the pieces `pieces` of the folder open as
// `folder` (held by the caller's lock). Every file is written under a temporary name
// and named when whole, the index last, replacing files of those names; on failure no
// new file is left. Fails with the fault of the piece or PAR file concerned (named).
// `memory` bounds the stripes of the work (see combine).
Status create(const RunFolder& folder, const std::string& base, const std::vector<std::string>& pieces,
              const Layout& layout, const Progress& progress = {}, std::size_t memory = combineMemory);

// Removes the PAR files BASE.par2 and BASE.vol*.par2 (regular files only) from the
// folder, so that a set written anew under the same name is never claimed by recovery
// data of the set it replaced. Fails with the first that cannot be removed.
Status removeRecovery(const RunFolder& folder, const std::string& base);

// One protected file as found on disk.
struct PieceState {
    std::string name;
    std::uint64_t length = 0; // as recorded
    bool present = false;
    std::uint64_t actualLength = 0;
    std::uint32_t firstSlice = 0; // its first slice's number in the set
    std::uint32_t slices = 0;
    std::vector<std::uint32_t> badSlices; // within the file, ascending

    bool whole() const { return present && actualLength == length && badSlices.empty(); }
};

// What a set's recovery data says of its pieces.
struct Scan {
    Par2::Set set;
    std::vector<PieceState> pieces;    // in the set's order
    std::vector<std::string> parFiles; // the PAR files read, by name
    std::uint32_t slicesToRebuild = 0;
    // Distinct recovery slices whose packets are intact (checked only when a slice is
    // to be rebuilt; before that, those present).
    std::uint32_t recoveryAvailable = 0;
    std::uint32_t largestPieceSlices = 1;

    std::uint32_t piecesToRebuild() const;
    bool whole() const { return piecesToRebuild() == 0; }
    bool repairable() const { return slicesToRebuild <= recoveryAvailable; }
    // Recovery slices short of a repair.
    std::uint32_t slicesMissing() const;
    // The same in pieces' worth: what "recovery pieces" means to a user.
    std::uint32_t piecesMissing() const;
    std::uint32_t recoveryPieces() const;
};

// Reads the PAR files BASE.par2 and BASE.vol*.par2 in the folder (`index` names the
// first) and gives the recovery set most of them describe completely; a damaged
// packet is skipped, a PAR file of another set ignored. Fails when none describes one
// (ENOENT when there is no PAR file at all) or a PAR file cannot be read. `parFiles`,
// when given, gets the names of the PAR files read. `indexAlone`: where the index
// describes its set completely, the volumes are not read, and the set lists only the
// index's recovery slices.
Result<Par2::Set> readSet(const RunFolder& folder, const std::string& index,
                          std::vector<std::string>* parFiles = nullptr, bool indexAlone = false);

// Checks one protected file's bytes slice by slice as they come (a join's copy feeds
// it), by CRC32 alone or by CRC32 and MD5.
class SliceCheck {
public:
    SliceCheck(const Par2::File& file, std::uint64_t sliceSize, bool md5);
    // The next bytes of the file, in order.
    Status update(const void* data, std::size_t size);
    // The slices that do not match, given everything fed so far was the whole file.
    Result<std::vector<std::uint32_t>> finish();

private:
    Status closeSlice();

    const Par2::File& m_file;
    std::uint64_t m_sliceSize;
    bool m_useMd5;
    std::uint64_t m_offset = 0; // bytes fed
    std::uint64_t m_inSlice = 0;
    std::uint32_t m_crc = 0;
    Md5 m_md5;
    std::vector<std::uint32_t> m_bad;
};

enum class Depth { Crc32, Crc32AndMd5 };

// What the set's recovery data says of its pieces: every protected file in the folder
// checked slice by slice (missing, cut short, too long, damaged slices), and the
// recovery slices available. Fails as readSet does, or with a protected file that
// cannot be read.
Result<Scan> scan(const RunFolder& folder, const std::string& index, Depth depth = Depth::Crc32AndMd5,
                  const Progress& progress = {});

// Checks piece `index` of `scan` on disk as scan does (there, its length, its slices),
// filling its state. Fails only when it cannot be read.
Status checkOnDisk(const RunFolder& folder, Scan& scan, std::size_t index, Depth depth);

// Whether the `length` bytes at `offset` of `fd` (a join's output, say) are piece
// `index` of `scan` as recorded: its length, and each slice's CRC32.
Result<bool> matchesPiece(int fd, std::uint64_t offset, std::uint64_t length, const Scan& scan, std::size_t index);

// Counts the recovery slices of `scan.set` that can be used, once `scan.pieces` is
// filled (by scan, or by a join that checked the pieces as it copied them): their
// packets' MD5 is checked only when something is to be rebuilt.
Status countRecovery(const RunFolder& folder, Scan& scan);

// The pieces of `set` in its order, nothing checked yet (all taken as whole).
Scan scanOf(Par2::Set set);

// A piece rebuilt whole, in a file not yet named.
struct RebuiltPiece {
    std::string name;
    std::unique_ptr<TemporaryFile> file;
};

// Rebuilds every piece `scan` found missing or damaged into new files in the folder open
// at `scratch` (the pieces' own folder for a repair, the output's for a join), each
// checked against its recorded length and MD5. Fails when the set is not repairable
// (the reason says how many more recovery pieces are needed), or with the first failing read or
// write; then no file is left.
Result<std::vector<RebuiltPiece>> rebuild(const RunFolder& folder, const Scan& scan, int scratch,
                                          const Progress& progress = {}, std::size_t memory = combineMemory);

// Repairs the set in place: rebuilds the missing and damaged pieces, keeps each
// damaged piece under a free name PIECE.damaged (or .damaged.1, ...) and names the
// rebuilt ones. Nothing is changed unless all pieces were rebuilt. Returns the pieces
// rebuilt.
Result<std::vector<std::string>> repair(const RunFolder& folder, const Scan& scan, const Progress& progress = {},
                                        std::size_t memory = combineMemory);

} // namespace Recovery
