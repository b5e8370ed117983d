// make-models OUTDIR: builds the four model blobs (velmaris.bin, duck.bin, face.bin,
// x29.bin) from their recipes, refusing to write any that misses a fixed fact.
#include <cstdio>
#include <string>
#include <vector>

#include "data/pngwrite.h"
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
        if (!write_file(path, bytes)) {
            std::fprintf(stderr, "make-models: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
