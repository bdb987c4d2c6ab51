#pragma once
// The string table: texts looked up by id (toolbar tooltips, the About item).
#include <string>

// Text of a string id; empty when the id has none.
std::string LoadStringText(int id);
