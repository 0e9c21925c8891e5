#include "vec3.h"

Mat4 mat4_identity()
{
    Mat4 r{};
    r.m[0] = r.m[5] = r.m[10] = r.m[15] = 1.0f;
    return r;
}

void mat4_premultiply(Mat4* a, const Mat4* b)
{
    Mat4 r;
    for (int j = 0; j < 4; ++j) {
        for (int i = 0; i < 4; ++i) {
            double s = 0.0;
            for (int k = 0; k < 4; ++k)
                s += (double)b->m[4 * k + i] * (double)a->m[4 * j + k];
            r.m[4 * j + i] = (float)s;
        }
    }
    *a = r;
}

Vec3 mat4_transform_point(const Mat4* m, Vec3 p)
{
    const float* e = m->m;
    double x = (double)e[0] * p.x + (double)e[4] * p.y + (double)e[8] * p.z + e[12];
    double y = (double)e[1] * p.x + (double)e[5] * p.y + (double)e[9] * p.z + e[13];
    double z = (double)e[2] * p.x + (double)e[6] * p.y + (double)e[10] * p.z + e[14];
    return Vec3{(float)x, (float)y, (float)z};
}
