#pragma once
// MP4 files: the atom walk to moov/udta/meta/ilst and the items the host reads (title, artist, tempo and
// the freeform "----" items with the key, the play count and the DJ application's objects). Only the
// headers on the way and the wanted items are read from the file; artwork and media data are not. The
// walks are public for further item readers.
#include "library/serato_file_meta.h"

#include <functional>
#include <optional>
#include <string>

namespace plindo::library {

class TagSource;

namespace Mp4Reader {

struct Atom {
    std::string type;      // the four type bytes
    int64_t at = 0;        // offset of the header
    int64_t contentAt = 0; // offset just past the 8- or 16-byte header
    int64_t end = 0;       // offset just past the atom
};

// The atom at `at` inside a parent ending at `end`: a 32-bit size counting the header, 1 for a 64-bit size
// after the type, 0 for "up to the parent's end". Nothing when the header does not fit, the size is
// smaller than the header or the atom would pass `end`.
std::optional<Atom> atomHeader(const TagSource& source, int64_t at, int64_t end);
std::optional<Atom> atomHeader(TagBytes data, int64_t at, int64_t end);

// Calls `onAtom` for the atoms in [from, end) one after another until one cannot be read; `onAtom`
// returns false to stop.
void forEachAtom(const TagSource& source, int64_t from, int64_t end, const std::function<bool(const Atom&)>& onAtom);

// The "ilst" atom under moov/udta/meta (the children of "meta" start after its 4 bytes of version and
// flags).
std::optional<Atom> findIlst(const TagSource& source);

void parseMP4(const TagSource& source, SeratoFileMeta& meta);

// The UTF-8 text of the first "data" child of the item whose children lie in [from, to) of `data`.
std::optional<std::string> atomText(TagBytes data, int64_t from, int64_t to);

// One "----" item whose children lie in [from, to) of `data`.
void parseFreeform(TagBytes data, int64_t from, int64_t to, SeratoFileMeta& meta);

}  // namespace Mp4Reader
}  // namespace plindo::library
