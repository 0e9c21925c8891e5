#include "phys_bvh.h"

namespace {

// Items per leaf: few enough that a leaf costs little more than its box test.
const int LEAF_SIZE = 4;

// What the splits move about: an item's centre, id and place in the
// items handed to the build (for its box).
struct Centre {
    double c[3];
    uint32_t id, place;
};

uint32_t build_node(Bvh* bvh, const std::vector<BuildItem>& boxes, std::vector<Centre>* items, size_t begin,
                    size_t end)
{
    uint32_t index = (uint32_t)bvh->nodes.size();
    bvh->nodes.push_back(BvhNode{});
    bvh->nodes[index].first = (uint32_t)bvh->items.size();
    if (end - begin <= (size_t)LEAF_SIZE) {
        DBox box = boxes[(*items)[begin].place].box;
        for (size_t k = begin + 1; k < end; ++k) {
            const DBox& b = boxes[(*items)[k].place].box;
            for (int i = 0; i < 3; ++i) {
                box.lo[i] = std::min(box.lo[i], b.lo[i]);
                box.hi[i] = std::max(box.hi[i], b.hi[i]);
            }
        }
        BvhNode& n = bvh->nodes[index];
        n.box = box;
        n.start = (uint32_t)bvh->items.size();
        n.count = (uint32_t)(end - begin);
        for (size_t k = begin; k < end; ++k)
            bvh->items.push_back((*items)[k].id);
        n.last = (uint32_t)bvh->items.size();
        return index;
    }
    // Split across the longest extent of the items' centres.
    double lo[3], hi[3];
    for (int i = 0; i < 3; ++i)
        lo[i] = hi[i] = (*items)[begin].c[i];
    for (size_t k = begin + 1; k < end; ++k) {
        const double* c = (*items)[k].c;
        for (int i = 0; i < 3; ++i) {
            lo[i] = std::min(lo[i], c[i]);
            hi[i] = std::max(hi[i], c[i]);
        }
    }
    int axis = 0;
    for (int i = 1; i < 3; ++i)
        if (hi[i] - lo[i] > hi[axis] - lo[axis])
            axis = i;
    size_t mid = (begin + end) / 2;
    std::nth_element(items->begin() + (long)begin, items->begin() + (long)mid, items->begin() + (long)end,
                     [axis](const Centre& a, const Centre& b) {
                         return a.c[axis] < b.c[axis] || (a.c[axis] == b.c[axis] && a.id < b.id);
                     });
    uint32_t left = build_node(bvh, boxes, items, begin, mid);
    uint32_t right = build_node(bvh, boxes, items, mid, end);
    // The box of the items, from the children's.
    BvhNode& n = bvh->nodes[index];
    const DBox& l = bvh->nodes[left].box;
    const DBox& r = bvh->nodes[right].box;
    for (int i = 0; i < 3; ++i) {
        n.box.lo[i] = std::min(l.lo[i], r.lo[i]);
        n.box.hi[i] = std::max(l.hi[i], r.hi[i]);
    }
    n.left = left;
    n.right = right;
    n.count = 0;
    n.last = (uint32_t)bvh->items.size();
    return index;
}

}  // namespace

void build_bvh(Bvh* bvh, std::vector<BuildItem>* items)
{
    bvh->nodes.clear();
    bvh->items.clear();
    // Leaves hold at least two items (median splits of more than four):
    // fewer nodes than items.
    bvh->nodes.reserve(items->size());
    bvh->items.reserve(items->size());
    std::vector<Centre> centres(items->size());
    for (size_t k = 0; k < items->size(); ++k) {
        const BuildItem& it = (*items)[k];
        centres[k] = Centre{{it.centre[0], it.centre[1], it.centre[2]}, it.id, (uint32_t)k};
    }
    if (!items->empty())
        build_node(bvh, *items, &centres, 0, centres.size());
}


double point_segment_dist(const double p[3], const double a[3], const double b[3])
{
    double ab[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    double ap[3] = {p[0] - a[0], p[1] - a[1], p[2] - a[2]};
    double l2 = dot3(ab, ab);
    double t = l2 > 0.0 ? std::min(std::max(dot3(ap, ab) / l2, 0.0), 1.0) : 0.0;
    double s = 0.0;
    for (int i = 0; i < 3; ++i)
        s += sq(a[i] + t * ab[i] - p[i]);
    return std::sqrt(s);
}

// Distance from p to the triangle abc (closest point by Voronoi regions).
double point_triangle_dist(const double p[3], const double a[3], const double b[3], const double c[3])
{
    double ab[3], ac[3], ap[3];
    for (int i = 0; i < 3; ++i) {
        ab[i] = b[i] - a[i];
        ac[i] = c[i] - a[i];
        ap[i] = p[i] - a[i];
    }
    double q[3];
    double d1 = dot3(ab, ap), d2 = dot3(ac, ap);
    double bp[3] = {p[0] - b[0], p[1] - b[1], p[2] - b[2]};
    double d3 = dot3(ab, bp), d4 = dot3(ac, bp);
    double cp[3] = {p[0] - c[0], p[1] - c[1], p[2] - c[2]};
    double d5 = dot3(ab, cp), d6 = dot3(ac, cp);
    double vc = d1 * d4 - d3 * d2, vb = d5 * d2 - d1 * d6, va = d3 * d6 - d5 * d4;
    if (d1 <= 0.0 && d2 <= 0.0) {
        for (int i = 0; i < 3; ++i)
            q[i] = a[i];
    } else if (d3 >= 0.0 && d4 <= d3) {
        for (int i = 0; i < 3; ++i)
            q[i] = b[i];
    } else if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0) {
        double v = d1 / (d1 - d3);
        for (int i = 0; i < 3; ++i)
            q[i] = a[i] + v * ab[i];
    } else if (d6 >= 0.0 && d5 <= d6) {
        for (int i = 0; i < 3; ++i)
            q[i] = c[i];
    } else if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) {
        double w = d2 / (d2 - d6);
        for (int i = 0; i < 3; ++i)
            q[i] = a[i] + w * ac[i];
    } else if (va <= 0.0 && (d4 - d3) >= 0.0 && (d5 - d6) >= 0.0) {
        double w = (d4 - d3) / ((d4 - d3) + (d5 - d6));
        for (int i = 0; i < 3; ++i)
            q[i] = b[i] + w * (c[i] - b[i]);
    } else {
        double denom = 1.0 / (va + vb + vc);
        double v = vb * denom, w = vc * denom;
        for (int i = 0; i < 3; ++i)
            q[i] = a[i] + ab[i] * v + ac[i] * w;
    }
    double s = 0.0;
    for (int i = 0; i < 3; ++i)
        s += sq(q[i] - p[i]);
    return std::sqrt(s);
}

