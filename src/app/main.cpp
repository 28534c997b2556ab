#include "app/arguments.h"
#include "app/startup.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  qen::platform::prepareProcess();
  auto text = qen::platform::argumentText();
  return qen::runHelper(text ? *text : qen::argumentVector(argc, argv));
}
