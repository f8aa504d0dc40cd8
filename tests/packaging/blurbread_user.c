/* Prints the disk count of the description file named on the command line,
 * built only from the installed header and the flags pkg-config gives. */
#include <stdio.h>

#include <blurbread/blurbread.h>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  printf("%d of %d\n", (int)read_diz(argv[1]), (int)strings);
  return 0;
}
