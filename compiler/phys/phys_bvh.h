// Bounding-volume hierarchies over the mesh's vertices, edges and faces, in
// double: boxes, the distances between boxes and points, the build, the
// side summary of every node and the depth-first walk.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <vector>

struct DBox {
    double lo[3];
    double hi[3];
};

struct BvhNode {
    DBox box;
    uint32_t left, right;     // children when count == 0
    uint32_t start, count;    // items of a leaf
    double len_min, len_max;  // edges: shortest and longest length
    double margin_max;        // faces: largest margin
    uint32_t first, last;     // items of the whole subtree
    // Side summary of the subtree's usable features: their unit normals lie
    // within `spread` of the unit vector `dir`; `special` when some feature
    // has no usable normal; `coord_max` the largest coordinate magnitude.
    double dir[3];
    double dir_lo, dir_hi;  // range of dir . x over the node's box
    double spread;
    bool special;
    double coord_max;
};

struct Bvh {
    std::vector<BvhNode> nodes;
    std::vector<uint32_t> items;
};

// One feature handed to the build: its box, the point it is sorted by and
// its index.
struct BuildItem {
    DBox box;
    double centre[3];
    uint32_t id;
};

inline double sq(double v)
{
    return v * v;
}

inline double dot3(const double a[3], const double b[3])
{
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

inline bool finite3(const double v[3])
{
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

// Two doubles at once (GCC and Clang vector extensions): the x and y axes
// of the box distances below, with the very operations of one axis each.
typedef double Double2 __attribute__((vector_size(16)));

inline Double2 load2(const double* p)
{
    Double2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

typedef int64_t Int2 __attribute__((vector_size(16)));

// std::max(a, b) of each lane: (a < b) ? b : a.
inline Double2 max2(Double2 a, Double2 b)
{
#if defined(__SSE2__)
    // maxpd(b, a) gives b where b > a, else a: the same, NaN included.
    return (Double2)_mm_max_pd((__m128d)b, (__m128d)a);
#else
    return a < b ? b : a;
#endif
}

// std::fabs of each lane: the sign bit cleared.
inline Double2 abs2(Double2 v)
{
    return (Double2)((Int2)v & Int2{INT64_MAX, INT64_MAX});
}

// |a - b|^2, as (dx^2 + dy^2) + dz^2.
inline double point_dist2(const double a[3], const double b[3])
{
    Double2 d = load2(a) - load2(b);
    Double2 d2 = d * d;
    return (d2[0] + d2[1]) + sq(a[2] - b[2]);
}

inline double box_point_dist2(const DBox& b, const double p[3])
{
    Double2 pp = load2(p);
    Double2 d = max2(max2(load2(b.lo) - pp, pp - load2(b.hi)), Double2{0.0, 0.0});
    Double2 d2 = d * d;
    double z = std::max(std::max(b.lo[2] - p[2], p[2] - b.hi[2]), 0.0);
    return (d2[0] + d2[1]) + z * z;
}

inline double box_point_maxdist2(const DBox& b, const double p[3])
{
    Double2 pp = load2(p);
    Double2 d = max2(abs2(pp - load2(b.lo)), abs2(pp - load2(b.hi)));
    Double2 d2 = d * d;
    return (d2[0] + d2[1]) + sq(std::max(std::fabs(p[2] - b.lo[2]), std::fabs(p[2] - b.hi[2])));
}

inline double box_box_dist2(const DBox& a, const DBox& b)
{
    // ((0 + dx^2) + dy^2) + dz^2, as one axis after the other gives it.
    Double2 d = max2(max2(load2(a.lo) - load2(b.hi), load2(b.lo) - load2(a.hi)), Double2{0.0, 0.0});
    Double2 d2 = d * d;
    double z = std::max(std::max(a.lo[2] - b.hi[2], b.lo[2] - a.hi[2]), 0.0);
    return (d2[0] + d2[1]) + z * z;
}

inline double box_box_maxdist2(const DBox& a, const DBox& b)
{
    Double2 d = max2(abs2(load2(a.hi) - load2(b.lo)), abs2(load2(b.hi) - load2(a.lo)));
    Double2 d2 = d * d;
    return (d2[0] + d2[1]) + sq(std::max(std::fabs(a.hi[2] - b.lo[2]), std::fabs(b.hi[2] - a.lo[2])));
}

// Exact (double) distances from a point to a segment and to a triangle.
double point_segment_dist(const double p[3], const double a[3], const double b[3]);
double point_triangle_dist(const double p[3], const double a[3], const double b[3], const double c[3]);

// Median splits along the longest axis of the items' centres, at most
// four items per leaf. Parents come before their children.
void build_bvh(Bvh* bvh, std::vector<BuildItem>* items);

// Fills the side summary of every node: leaves from their items' normals
// (`normal_of` false for a feature whose side does not follow its normal in
// the ordinary way), parents from their children (spread grows by how far a
// child's direction lies from the parent's: the triangle inequality).
template <typename NormalOf>
void summarise_sides(Bvh* bvh, NormalOf normal_of)
{
    std::vector<double> sums(bvh->nodes.size() * 3, 0.0);
    for (size_t index = bvh->nodes.size(); index-- > 0;) {
        BvhNode& n = bvh->nodes[index];
        double* sum = &sums[index * 3];
        n.coord_max = 0.0;
        for (int i = 0; i < 3; ++i)
            n.coord_max = std::max(n.coord_max, std::max(std::fabs(n.box.lo[i]), std::fabs(n.box.hi[i])));
        n.spread = INFINITY;
        if (n.count) {
            n.special = false;
            for (uint32_t k = n.first; k < n.last; ++k) {
                double v[3];
                if (!normal_of(bvh->items[k], v)) {
                    n.special = true;
                    continue;
                }
                double len = std::sqrt(dot3(v, v));
                for (int i = 0; i < 3; ++i)
                    sum[i] += v[i] / len;
            }
        } else {
            const BvhNode& l = bvh->nodes[n.left];
            const BvhNode& r = bvh->nodes[n.right];
            n.special = l.special || r.special;
            for (int i = 0; i < 3; ++i)
                sum[i] = sums[n.left * 3 + i] + sums[n.right * 3 + i];
        }
        double len = std::sqrt(dot3(sum, sum));
        if (!(len > 0.0))
            continue;
        for (int i = 0; i < 3; ++i)
            n.dir[i] = sum[i] / len;
        n.dir_lo = n.dir_hi = 0.0;
        for (int i = 0; i < 3; ++i) {
            double a = n.dir[i] * n.box.lo[i], b = n.dir[i] * n.box.hi[i];
            n.dir_lo += std::min(a, b);
            n.dir_hi += std::max(a, b);
        }
        double spread = 0.0;
        if (n.count) {
            for (uint32_t k = n.first; k < n.last; ++k) {
                double v[3];
                if (!normal_of(bvh->items[k], v))
                    continue;
                double l = std::sqrt(dot3(v, v));
                spread = std::max(spread, std::sqrt(sq(v[0] / l - n.dir[0]) + sq(v[1] / l - n.dir[1]) +
                                                    sq(v[2] / l - n.dir[2])));
            }
        } else {
            for (uint32_t child : {n.left, n.right}) {
                const BvhNode& c = bvh->nodes[child];
                double gap = std::sqrt(sq(c.dir[0] - n.dir[0]) + sq(c.dir[1] - n.dir[1]) + sq(c.dir[2] - n.dir[2]));
                spread = std::max(spread, c.spread + gap);
            }
        }
        // Widened past the double rounding of the sums above (about 1e-16
        // relative), so the summary holds for every item.
        n.spread = spread * (1.0 + 1e-9) + 1e-12;
    }
}

// Depth first: a node for which `skip` holds is passed over with its subtree;
// `visit` gets the slot in `items` of every item of the leaves reached (a
// leaf's items take consecutive slots) and ends the walk by returning false
// (the walk then returns false). `left_first` tells whether an inner node's
// left child is taken before its right one.
template <typename LeftFirst, typename Skip, typename Visit>
inline bool walk_bvh_slots(const Bvh& bvh, LeftFirst left_first, Skip skip, Visit visit)
{
    if (bvh.nodes.empty())
        return true;
    // Median splits keep the depth at log2 of the item count (at most 32
    // levels for 32-bit item ids); the stack needs one entry per level more.
    uint32_t stack[128];
    int top = 0;
    stack[top++] = 0;
    while (top) {
        const BvhNode& n = bvh.nodes[stack[--top]];
        if (skip(n))
            continue;
        if (n.count) {
            for (uint32_t k = 0; k < n.count; ++k)
                if (!visit(n.start + k))
                    return false;
        } else {
            // The child taken first goes on the stack last.
            bool left = left_first(bvh.nodes[n.left], bvh.nodes[n.right]);
            stack[top++] = left ? n.right : n.left;
            stack[top++] = left ? n.left : n.right;
        }
    }
    return true;
}

// The same walk handing `visit` the items themselves.
template <typename LeftFirst, typename Skip, typename Visit>
inline bool walk_bvh(const Bvh& bvh, LeftFirst left_first, Skip skip, Visit visit)
{
    return walk_bvh_slots(bvh, left_first, skip, [&](uint32_t slot) { return visit(bvh.items[slot]); });
}

// Child orders: the child nearer to a point first, or simply the right one.
struct NearerFirst {
    const double* p;
    bool operator()(const BvhNode& l, const BvhNode& r) const
    {
        return box_point_dist2(l.box, p) <= box_point_dist2(r.box, p);
    }
};

struct RightFirst {
    bool operator()(const BvhNode&, const BvhNode&) const
    {
        return false;
    }
};
