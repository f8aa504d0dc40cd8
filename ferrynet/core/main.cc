#include "ferrynet/core/daemon.h"

int main(int argc, char** argv) { return ferrynet::run_daemon(argc, argv); }
