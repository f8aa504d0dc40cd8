#include "ferrynet/startup/daemon.h"

int main(int argc, char** argv) { return ferrynet::run_daemon(argc, argv); }
