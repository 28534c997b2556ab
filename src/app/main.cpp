#include "app/arguments.h"
#include "app/startup.h"

int main(int argc, char** argv) { return qen::runHelper(qen::argumentVector(argc, argv)); }
