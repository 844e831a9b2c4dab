#include "app/program.h"

int main(int argc, char** argv) {
  return wuqu::RunProgram(argc, argv);
}
