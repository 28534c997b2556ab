#include "app/arguments.h"
#include "app/startup.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  qen::platform::prepareProcess();
  return qen::runHelper(qen::argumentVector(argc, argv));
}
