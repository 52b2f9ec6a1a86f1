/* Brackets the delay-import descriptors that dlltool's delay-import libraries
   put in sections named ".text$2". GNU ld sorts the ".text$*" sections by
   name, so the mark lands just before the descriptors and the zero descriptor
   that ends their table just after. tools/delay_import_directory.py finds the
   mark after the link and records the table in the program's data directory,
   which GNU ld leaves empty. Aligned as the descriptors are on x64, so that
   nothing pads between them. */
__attribute__((section(".text$1"), used, aligned(16)))
static const char kDelayImportMark[16] = "ZanSetupDelayImp";

__attribute__((section(".text$3"), used, aligned(16)))
static const unsigned char kDelayImportEnd[32] = {0};
