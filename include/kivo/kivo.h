/*
 * Kivo's exported C interface: include this one header to reach every
 * exported operation.
 */
#ifndef KIVO_KIVO_H
#define KIVO_KIVO_H

#include "kivo/export.h"
#include "kivo/types.h"
#include "kivo/sysmem.h"
#include "kivo/systhread.h"
#include "kivo/symbol.h"
#include "kivo/commonsyms.h"
#include "kivo/atom.h"
#include "kivo/strutil.h"
#include "kivo/post.h"
#include "kivo/linklist.h"
#include "kivo/hashtab.h"
#include "kivo/dispatch.h"
#include "kivo/object.h"
#include "kivo/class.h"
#include "kivo/obex.h"
#include "kivo/legacy.h"
#include "kivo/registry.h"
#include "kivo/charset.h"
#include "kivo/attr.h"
#include "kivo/attr_conv.h"
#include "kivo/transform.h"
#include "kivo/eventcontext.h"
#include "kivo/sched.h"
#include "kivo/qelem.h"
#include "kivo/inout.h"
#include "kivo/proxy.h"
#include "kivo/subclass.h"
#include "kivo/atombuf.h"
#include "kivo/typedcall.h"
#include "kivo/path.h"
#include "kivo/files.h"
#include "kivo/atomarray.h"
#include "kivo/stringobj.h"
#include "kivo/msgtext.h"
#include "kivo/binbuf.h"
#include "kivo/dictionary.h"
#include "kivo/fifo.h"
#include "kivo/json.h"
#include "kivo/alerts.h"
#include "kivo/application.h"

#endif
