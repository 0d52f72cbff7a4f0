/* A C program that reaches Kivo only through kivo/kivo.h, as an external does. */
#include <stdio.h>
#include <string.h>

#include "kivo/kivo.h"

#include "capi_check.h"


int main(void) {
    t_symbol *s, *t;
    t_atom a[3];
    t_common_symbols *table;
    char buf[8];
    void *small;

    systhread_init();
    mess_init();
    utils_init();

    s = gensym("capi-test-name");
    t = gensym("capi-test-name");
    CHECK(s != NULL && s == t);
    CHECK(strcmp(s->name, "capi-test-name") == 0);
    CHECK(gensym("int") == ps_int);
    CHECK(gensym("") == ps_);

    table = common_symbols_gettable();
    CHECK(table != NULL && table->version == 500);
    CHECK(table->s_kivo == gensym("kivo"));
    CHECK(_sym(notify) == gensym("notify"));

    CHECK(atom_setlong(&a[0], 42) == KIVO_ERR_NONE);
    CHECK(atom_setfloat(&a[1], 2.5) == KIVO_ERR_NONE);
    CHECK(atom_setsym(&a[2], s) == KIVO_ERR_NONE);
    CHECK(atom_setlong(NULL, 1) == KIVO_ERR_INVALID_PTR);
    CHECK(atom_getlong(&a[0]) == 42);
    CHECK(atom_getfloat(&a[1]) == 2.5);
    CHECK(atom_getlong(&a[1]) == 2);
    CHECK(atom_getsym(&a[2]) == s);
    CHECK(atom_gettype(&a[2]) == AT_SYM);

    strncpy_zero(buf, "hello world", sizeof buf);
    CHECK(strcmp(buf, "hello w") == 0);

    small = getbytes16(20);
    CHECK(small != NULL);
    freebytes16(small, 20);

    post("posted from C: %s %ld", s->name, (long)atom_getlong(&a[0]));
    errorcount_set(0);
    error("an error from C");
    CHECK(errorcount_get() == 1);

    if (failures) fprintf(stderr, "%d checks failed\n", failures);
    return failures ? 1 : 0;
}
