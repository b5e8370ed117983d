// The recipes of the show's four 3D models, in the show's model order: the Velmaris
// name as a flat slab, a duck, a face and a forward-swept-wing jet. Each returns the
// finished model, meeting its fixed facts (see modelfacts.h).
#pragma once

#include <array>

#include "mesh.h"

namespace models {

mesh::Model velmaris();
mesh::Model duck();
mesh::Model face();
mesh::Model x29();

using Recipe = mesh::Model (*)();
inline constexpr std::array<Recipe, 4> kRecipes = {velmaris, duck, face, x29};

}  // namespace models
