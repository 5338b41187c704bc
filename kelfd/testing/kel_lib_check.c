/* Compiles the wire header as C: its layout checks hold for C clients too. */
#include <kelfd/kel_lib.h>

int kel_lib_c_record_size(void) {
    return (int)sizeof(if_kel_t);
}
