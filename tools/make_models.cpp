// make-models OUTDIR: builds the four model blobs (velmaris.bin, duck.bin, face.bin,
// x29.bin) from their recipes, refusing to write any that misses a fixed fact.
#include <cstdio>
#include <fstream>
#include <string>

#include "modelfacts.h"
#include "models.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-models OUTDIR\n");
        return 1;
    }
    for (std::size_t i = 0; i < models::kRecipes.size(); i++) {
        const mesh::Expected& e = mesh::kModels[i];
        mesh::Model m = models::kRecipes[i]();
        std::string why = mesh::check(m, e);
        if (!why.empty()) {
            std::fprintf(stderr, "make-models: %s: %s\n", e.name, why.c_str());
            return 1;
        }
        std::vector<std::uint8_t> bytes = mesh::encode(m);
        std::string path = std::string(argv[1]) + "/" + e.name + ".bin";
        std::ofstream f(path, std::ios::binary);
        f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        if (!f) {
            std::fprintf(stderr, "make-models: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
