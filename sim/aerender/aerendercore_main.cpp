// aerendercore: the stand-in render engine. It lives as long as the aerender
// that started it (see render_engine.h).
#include <string>
#include <vector>

#include "render_engine.h"

int main(int argc, char** argv) { return sim::run_render_engine_process(std::vector<std::string>(argv, argv + argc)); }
