// The four built-in model blobs, read from the build's content the way the show's
// loader reads them (little-endian, byte by byte), against the facts the show relies on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "mesh.h"
#include "modelfacts.h"
#include "content_refusal.h"
#include "testbox.h"

namespace {

// Each blob's counts, size and extents; its distinct positions (the jet repeats some)
// and its open edges (the slab is closed, the duck and the face are open surfaces).
struct Fixed {
    const char* file;
    int vertices, faces;
    std::size_t bytes;
    int ex, ey, ez;
    int positions, open_edges;
};
const Fixed kFixed[4] = {
    {"velmaris.bin", 500, 972, 8836, 630, 2540, 60, 500, 0},
    {"duck.bin", 268, 516, 4708, 908, 1892, 1130, 268, 10},
    {"face.bin", 410, 718, 6772, 1250, 790, 1981, 410, 106},
    {"x29.bin", 929, 779, 10252, 1540, 2792, 561, 519, 211},
};

testbox::Bytes blob(int k) { return testbox::read_file(std::string(CONTENT_DIR) + "/" + kFixed[k].file); }

mesh::Model load(int k) {
    mesh::Model m;
    EXPECT_TRUE(mesh::decode(blob(k), m));
    return m;
}

// The normal of face f as the show's back-face test forms it: (b - a) x (c - a).
std::array<long long, 3> normal(const mesh::Model& m, const mesh::Face& f) {
    const auto &a = m.vertices[f[0]], &b = m.vertices[f[1]], &c = m.vertices[f[2]];
    long long s1[3], s2[3];
    for (int i = 0; i < 3; i++) {
        s1[i] = b[i] - a[i];
        s2[i] = c[i] - a[i];
    }
    return {s1[1] * s2[2] - s1[2] * s2[1], s1[2] * s2[0] - s1[0] * s2[2], s1[0] * s2[1] - s1[1] * s2[0]};
}

TEST(ContentModels, SizesCountsExtentsAndReach) {
    for (int k = 0; k < 4; k++) {
        SCOPED_TRACE(kFixed[k].file);
        testbox::Bytes b = blob(k);
        ASSERT_EQ(b.size(), kFixed[k].bytes);
        EXPECT_EQ(b[0] | b[1] << 8, kFixed[k].vertices);
        EXPECT_EQ(b[2] | b[3] << 8, kFixed[k].faces);
        EXPECT_EQ(b.size(), 4u + 6u * kFixed[k].vertices + 6u * kFixed[k].faces);
        mesh::Facts f = mesh::analyse(load(k));
        EXPECT_EQ(f.lo, (std::array<int, 3>{-kFixed[k].ex, -kFixed[k].ey, -kFixed[k].ez}));
        EXPECT_EQ(f.hi, (std::array<int, 3>{kFixed[k].ex, kFixed[k].ey, kFixed[k].ez}));
        EXPECT_LE(f.max_distance_sq, 2816LL * 2816LL);
        EXPECT_TRUE(f.indices_valid);
        EXPECT_FALSE(f.degenerate);
        EXPECT_EQ(f.crowded_edges, 0);
        EXPECT_EQ(f.same_way_edges, 0);
        EXPECT_EQ(f.positions, kFixed[k].positions);
        EXPECT_EQ(f.open_edges, kFixed[k].open_edges);
        EXPECT_EQ(f.edges * 2, 3 * f.faces + f.open_edges);
    }
}

TEST(ContentModels, SlabLogoStartsWithItsFixedRecordsAndIsASlab) {
    testbox::Bytes b = blob(0);
    const std::uint8_t head[] = {0xf4, 0x01, 0xcc, 0x03, 0x02, 0xfe, 0x7c, 0xfc, 0x3c, 0x00};
    ASSERT_GE(b.size(), 4u + 6 * 500 + 6);
    for (std::size_t i = 0; i < sizeof head; i++) EXPECT_EQ(b[i], head[i]) << "byte " << i;
    const std::uint8_t face0[] = {0x48, 0x01, 0x62, 0x00, 0xc2, 0x00};
    for (std::size_t i = 0; i < sizeof face0; i++) EXPECT_EQ(b[4 + 6 * 500 + i], face0[i]) << "face byte " << i;
    mesh::Model m = load(0);
    EXPECT_EQ(m.vertices[0], (std::array<int, 3>{-510, -900, 60}));
    EXPECT_EQ(m.faces[0], (mesh::Face{328, 98, 194}));
    // A slab 120 units thick: every vertex on one of its two faces.
    for (const auto& v : m.vertices) EXPECT_TRUE(v[2] == -60 || v[2] == 60);
}

// Seen from the show's eye before any turn (model ahead along +z), every face of the
// slab's near side passes the back-face test (cp.z <= 14999) and every face of its far
// side points away (cp.z > 0).
TEST(ContentModels, BackFaceTestKeepsTheSlabsNearSide) {
    mesh::Model m = load(0);
    int near = 0, far = 0;
    for (const mesh::Face& f : m.faces) {
        int z = m.vertices[f[0]][2];
        if (m.vertices[f[1]][2] != z || m.vertices[f[2]][2] != z) continue;
        long long cz = normal(m, f)[2];
        if (z == -60) {
            near++;
            EXPECT_LT(cz, 0);
        } else {
            far++;
            EXPECT_GT(cz, 0);
        }
    }
    EXPECT_EQ(near, far);
    EXPECT_GT(near, 0);
}

// For models drawn with back faces removed: every part of the surface encloses a
// positive volume with its faces' normals, and along each axis the outermost face
// looks outwards.
TEST(ContentModels, SlabAndJetAreWoundOutwards) {
    for (int k : {0, 3}) {
        SCOPED_TRACE(kFixed[k].file);
        mesh::Model m = load(k);
        mesh::Facts f = mesh::analyse(m);
        EXPECT_EQ(f.outward_parts, f.parts);
        for (int axis = 0; axis < 3; axis++)
            for (int sign : {-1, 1}) {
                const mesh::Face* best = nullptr;
                long long reach = 0;
                for (const mesh::Face& t : m.faces) {
                    long long c = 0;
                    for (int v : t) c += sign * m.vertices[v][axis];
                    if (normal(m, t)[axis] != 0 && (!best || c > reach)) {
                        best = &t;
                        reach = c;
                    }
                }
                ASSERT_NE(best, nullptr);
                EXPECT_GT(sign * normal(m, *best)[axis], 0) << "axis " << axis << " sign " << sign;
            }
    }
}

// A blob whose face names a vertex the blob does not have is refused: by the reader,
// and by the contact sheet with one line naming the file and a plain failure status,
// not by drawing from past the vertex array.
TEST(ContentModels, FaceIndexPastTheVerticesIsRefused) {
    // One vertex and one face (0, 40000, 0).
    const testbox::Bytes bad = {1, 0, 1, 0, 10, 0, 20, 0, 30, 0, 0, 0, 0x40, 0x9c, 0, 0};
    mesh::Model m;
    EXPECT_FALSE(mesh::decode(bad, m));
    // The same blob with the face on vertex 0 only is a model.
    testbox::Bytes good = bad;
    good[12] = good[13] = 0;
    ASSERT_TRUE(mesh::decode(good, m));
    EXPECT_EQ(m.faces[0], (mesh::Face{0, 0, 0}));

    EXPECT_EQ(testbox::content_sheet_refusal("duck.bin", bad),
              "content-sheet: CONTENT/duck.bin is not a model (shorter than its header says, or a face names a vertex "
              "it does not have)\n");
}

TEST(ContentModels, RebuildGivesTheSameBytes) {
    std::string dir = testbox::temp_dir();
    std::string cmd = testbox::program("tools/make-models") + " " + dir;
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    for (int k = 0; k < 4; k++) EXPECT_EQ(testbox::read_file(dir + "/" + kFixed[k].file), blob(k)) << kFixed[k].file;
}

}  // namespace
