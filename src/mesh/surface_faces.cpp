// Boundary search: an open-addressing face map (linear probing, backward-shift
// removal) toggled once per element face, then survivors in position order.
#include "mesh/surface_faces.hpp"

#include <algorithm>
#include <bit>
#include <limits>

namespace corvane {
namespace {

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

// Map from face key to the flat position (4e + f) of the occurrence that
// inserted it, kept at most half full. Position is the narrowest unsigned
// type that holds every position with its maximum left free as the empty mark.
template <class Position>
class FaceMap {
public:
    explicit FaceMap(std::size_t room) { allocate(std::bit_ceil(std::max<std::size_t>(2 * room, 16))); }

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

    template <class Visit>
    void for_each_position(Visit&& visit) const {
        for (const Slot& s : slots_)
            if (s.position != EMPTY) visit(s.position);
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

template <class Position>
std::vector<std::uint32_t> search(TetList elements) {
    const std::size_t n_elements = elements.size();
    // The map starts small and doubles: on a locality-ordered mesh the set of
    // unpaired faces stays far below the element count, and a table sized for
    // it stays in cache (about twice as fast as one sized for every element).
    FaceMap<Position> map(std::min<std::size_t>(n_elements, 1024));

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
        const Pending current = ring[e % LOOKAHEAD];
        if (e + LOOKAHEAD < n_elements) stage(e + LOOKAHEAD);
        for (std::size_t f = 0; f < 4; ++f)
            map.toggle(current.key[f], current.hash[f], static_cast<Position>(4 * e + f));
    }

    // Survivors in position order, through a bitmap over all positions.
    std::vector<std::uint64_t> survivors((4 * n_elements + 63) / 64, 0);
    std::size_t n_faces = 0;
    map.for_each_position([&](std::uint64_t p) {
        survivors[p / 64] |= std::uint64_t{1} << (p % 64);
        ++n_faces;
    });
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
    // 16-byte slots while every position fits below the 32-bit empty mark.
    if (4 * elements.size() < std::numeric_limits<std::uint32_t>::max()) return search<std::uint32_t>(elements);
    return search<std::uint64_t>(elements);
}

}  // namespace corvane
