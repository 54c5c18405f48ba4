// Boundary search: every element face toggles its key in a face map (removed
// when present, inserted with its flat position otherwise), and the
// survivors are listed in position order. Elements numbered with locality
// keep the map small and stream through it; once the map outgrows the cache
// (elements in a scattered order), the remaining faces are partitioned by key
// hash and each partition is toggled in a small map of its own.
#include "mesh/surface_faces.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <memory>

namespace corvane {
namespace {

// Entries beyond which the streaming map is left for partitions (a table of
// 2 MB), and the largest mean number of faces per partition, whose map stays
// in the second-level cache.
constexpr std::size_t STREAM_LIMIT = std::size_t{1} << 16;
constexpr std::size_t PARTITION_SIZE = 4096;

// The three node indices of a face sorted ascending: equal keys, same face.
struct FaceKey {
    std::uint32_t a, b, c;
    bool operator==(const FaceKey&) const = default;
};

FaceKey face_key(const std::array<std::uint32_t, 3>& f) {
    std::uint32_t a = f[0], b = f[1], c = f[2];
    if (a > b) std::swap(a, b);
    if (b > c) std::swap(b, c);
    if (a > b) std::swap(a, b);
    return {a, b, c};
}

std::uint64_t hash_key(const FaceKey& k) {
    std::uint64_t h = ((std::uint64_t{k.a} << 32) | k.b) * 0x9E3779B97F4A7C15ull;
    h ^= (std::uint64_t{k.c} + 0x632BE59BD9B4E019ull) * 0xC2B2AE3D27D4EB4Full;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
}

// A face occurrence: its key and its flat position 4e + f.
template <class Position>
struct Occurrence {
    FaceKey key;
    Position position;
};

// Map from face key to the flat position (4e + f) of the occurrence that
// inserted it, kept at most half full. Position is the narrowest unsigned
// type that holds every position with its maximum left free as the empty mark.
template <class Position>
class FaceMap {
public:
    explicit FaceMap(std::size_t room) { allocate(std::bit_ceil(std::max<std::size_t>(2 * room, 16))); }

    std::size_t size() const { return live_; }

    // Hints the home slot of a key with this hash into the cache.
    void prefetch(std::uint64_t hash) const { __builtin_prefetch(slots_.data() + (hash & mask_), 1); }

    // Removes the key when present, inserts it with `position` otherwise;
    // `hash` is hash_key(key).
    void toggle(const FaceKey& key, std::uint64_t hash, Position position) {
        std::size_t i = hash & mask_;
        while (slots_[i].position != EMPTY) {
            if (slots_[i].key == key) {
                remove_at(i);
                return;
            }
            i = (i + 1) & mask_;
        }
        if (2 * (live_ + 1) > slots_.size()) {
            grow();
            insert_new(key, hash, position);
        } else {
            slots_[i] = Slot{key, position};
        }
        ++live_;
    }

    // Visits every entry as an Occurrence.
    template <class Visit>
    void for_each(Visit&& visit) const {
        for (const Slot& s : slots_)
            if (s.position != EMPTY) visit(Occurrence<Position>{s.key, s.position});
    }

private:
    static constexpr Position EMPTY = ~Position{0};
    struct Slot {
        FaceKey key;
        Position position;
    };

    void allocate(std::size_t capacity) {
        slots_.assign(capacity, Slot{FaceKey{}, EMPTY});
        mask_ = capacity - 1;
    }

    void insert_new(const FaceKey& key, std::uint64_t hash, Position position) {
        std::size_t i = hash & mask_;
        while (slots_[i].position != EMPTY) i = (i + 1) & mask_;
        slots_[i] = Slot{key, position};
    }

    void grow() {
        std::vector<Slot> old;
        old.swap(slots_);
        allocate(2 * old.size());
        for (const Slot& s : old)
            if (s.position != EMPTY) insert_new(s.key, hash_key(s.key), s.position);
    }

    // Empties slot i and shifts later members of its probe run back so that
    // every remaining key stays reachable from its home slot.
    void remove_at(std::size_t i) {
        std::size_t j = i;
        for (;;) {
            j = (j + 1) & mask_;
            if (slots_[j].position == EMPTY) break;
            const std::size_t home = hash_key(slots_[j].key) & mask_;
            // Slot j may move to i unless its home lies cyclically in (i, j].
            const bool home_between = i <= j ? (i < home && home <= j) : (i < home || home <= j);
            if (!home_between) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        slots_[i].position = EMPTY;
        --live_;
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t live_ = 0;
};

// Face map for one partition at a time: linear probing where a removed key
// leaves a marked slot behind instead of shifting its run. Sized for every
// occurrence of the partition to insert and still fill at most half of it;
// emptied between partitions.
template <class Position>
class PartitionMap {
public:
    // Prepares for a partition of `count` occurrences.
    void reset(std::size_t count) {
        const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(2 * count, 16));
        if (capacity > slots_.size()) slots_.assign(capacity, Slot{FaceKey{}, EMPTY});
        mask_ = capacity - 1;
    }

    void toggle(const FaceKey& key, std::uint64_t hash, Position position) {
        for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (s.position == EMPTY) {
                s = Slot{key, position};
                return;
            }
            if (s.position != REMOVED && s.key == key) {
                s.position = REMOVED;
                return;
            }
        }
    }

    // Visits the position of every entry and empties the map.
    template <class Visit>
    void drain(Visit&& visit) {
        for (std::size_t i = 0; i <= mask_; ++i) {
            Slot& s = slots_[i];
            if (s.position != EMPTY && s.position != REMOVED) visit(s.position);
            s.position = EMPTY;
        }
    }

private:
    static constexpr Position EMPTY = ~Position{0};
    static constexpr Position REMOVED = EMPTY - 1;
    struct Slot {
        FaceKey key;
        Position position;
    };
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
};

// Streams elements [0, n) through the map in order while it holds at most
// STREAM_LIMIT entries; returns the number of elements done.
template <class Position>
std::size_t stream(TetList elements, FaceMap<Position>& map) {
    const std::size_t n_elements = elements.size();
    // The map is walked at random, so the face keys of the element LOOKAHEAD
    // places ahead are formed early and their home slots prefetched.
    constexpr std::size_t LOOKAHEAD = 8;
    struct Pending {
        FaceKey key[4];
        std::uint64_t hash[4];
    };
    std::array<Pending, LOOKAHEAD> ring{};
    auto stage = [&](std::size_t e) {
        const Tet k = elements[e];
        Pending& pending = ring[e % LOOKAHEAD];
        for (std::size_t f = 0; f < 4; ++f) {
            pending.key[f] = face_key(element_face(k, f));
            pending.hash[f] = hash_key(pending.key[f]);
            map.prefetch(pending.hash[f]);
        }
    };
    for (std::size_t e = 0; e < std::min(LOOKAHEAD, n_elements); ++e) stage(e);
    for (std::size_t e = 0; e < n_elements; ++e) {
        if (map.size() + 4 > STREAM_LIMIT) return e;
        const Pending current = ring[e % LOOKAHEAD];
        if (e + LOOKAHEAD < n_elements) stage(e + LOOKAHEAD);
        for (std::size_t f = 0; f < 4; ++f)
            map.toggle(current.key[f], current.hash[f], static_cast<Position>(4 * e + f));
    }
    return n_elements;
}

// Toggles the streaming map's entries and the faces of elements [first, n)
// partition by partition (by the top bits of the key hash), in position order
// within each partition, and marks the survivors; the map is left empty.
template <class Position>
std::size_t partitioned(TetList elements, std::size_t first, FaceMap<Position>& map,
                        std::vector<std::uint64_t>& survivors) {
    const std::size_t n_elements = elements.size();
    const std::size_t n_occurrences = map.size() + 4 * (n_elements - first);
    const std::size_t n_partitions = std::bit_ceil(std::max<std::size_t>(n_occurrences / PARTITION_SIZE, 1));
    const int shift = std::countr_zero(n_partitions);
    const auto partition_of = [&](const FaceKey& key) -> std::size_t {
        return shift == 0 ? 0 : static_cast<std::size_t>(hash_key(key) >> (64 - shift));
    };

    // Counting sort into partitions: the map's entries first (their positions
    // precede all others), then the remaining faces in position order.
    std::vector<std::size_t> start(n_partitions + 1, 0);
    map.for_each([&](const Occurrence<Position>& o) { ++start[partition_of(o.key) + 1]; });
    for (std::size_t e = first; e < n_elements; ++e) {
        const Tet k = elements[e];
        for (std::size_t f = 0; f < 4; ++f) ++start[partition_of(face_key(element_face(k, f))) + 1];
    }
    for (std::size_t p = 0; p < n_partitions; ++p) start[p + 1] += start[p];
    const std::unique_ptr<Occurrence<Position>[]> occurrences(new Occurrence<Position>[n_occurrences]);
    {
        std::vector<std::size_t> fill(start.begin(), start.end() - 1);
        map.for_each([&](const Occurrence<Position>& o) { occurrences[fill[partition_of(o.key)]++] = o; });
        for (std::size_t e = first; e < n_elements; ++e) {
            const Tet k = elements[e];
            for (std::size_t f = 0; f < 4; ++f) {
                const FaceKey key = face_key(element_face(k, f));
                occurrences[fill[partition_of(key)]++] = {key, static_cast<Position>(4 * e + f)};
            }
        }
    }

    // The streaming map's entries are among the occurrences now.
    map = FaceMap<Position>(0);
    std::size_t n_faces = 0;
    PartitionMap<Position> part;
    for (std::size_t p = 0; p < n_partitions; ++p) {
        part.reset(start[p + 1] - start[p]);
        for (std::size_t i = start[p]; i < start[p + 1]; ++i) {
            const Occurrence<Position>& o = occurrences[i];
            part.toggle(o.key, hash_key(o.key), o.position);
        }
        part.drain([&](std::uint64_t q) {
            survivors[q / 64] |= std::uint64_t{1} << (q % 64);
            ++n_faces;
        });
    }
    return n_faces;
}

template <class Position>
std::vector<std::uint32_t> search(TetList elements) {
    const std::size_t n_elements = elements.size();
    // The map starts small and doubles: on a locality-ordered mesh the set of
    // unpaired faces stays far below the element count.
    FaceMap<Position> map(std::min<std::size_t>(n_elements, 1024));
    const std::size_t streamed = stream(elements, map);

    // Survivors in position order, through a bitmap over all positions.
    std::vector<std::uint64_t> survivors((4 * n_elements + 63) / 64, 0);
    std::size_t n_faces = 0;
    if (streamed < n_elements) {
        n_faces = partitioned(elements, streamed, map, survivors);
    } else {
        map.for_each([&](const Occurrence<Position>& o) {
            survivors[o.position / 64] |= std::uint64_t{1} << (o.position % 64);
            ++n_faces;
        });
    }
    std::vector<std::uint32_t> faces;
    faces.reserve(3 * n_faces);
    for (std::size_t w = 0; w < survivors.size(); ++w) {
        for (std::uint64_t bits = survivors[w]; bits != 0; bits &= bits - 1) {
            const std::size_t p = 64 * w + static_cast<std::size_t>(std::countr_zero(bits));
            const auto face = element_face(elements[p / 4], p % 4);
            faces.insert(faces.end(), face.begin(), face.end());
        }
    }
    return faces;
}

}  // namespace

std::vector<std::uint32_t> surface_faces(TetList elements) {
    // 16-byte slots while every position fits below the 32-bit marks of an
    // empty and of a removed slot.
    if (4 * elements.size() < std::numeric_limits<std::uint32_t>::max()) return search<std::uint32_t>(elements);
    return search<std::uint64_t>(elements);
}

}  // namespace corvane
