/*
 * Subclassing: deriving a class from a registered one, running the
 * superclass's constructor, and calling the superclass's methods on an
 * object.
 *
 * A derived class copies its superclass's layout, flags, methods and
 * attributes when it is made (class_subclass), so its objects answer every
 * message of the superclass. class_super_construct runs the superclass's
 * constructor while the calling thread's inheritance stack names the class
 * under construction; the allocation that constructor makes then yields an
 * object of that class (object_alloc).
 *
 * While a chain of super and this calls runs on an object, its class stack
 * (the thread-specific instance attribute "class_stack") names the class
 * whose method is running, so that a method reached through
 * object_super_method can in turn reach its own superclass. Both stacks are
 * per thread.
 */
#ifndef KIVO_SUBCLASS_H
#define KIVO_SUBCLASS_H

#include "kivo/class.h"

KIVO_BEGIN_C

/* Makes c, fresh from class_new and not yet registered, a subclass of
   superclass; c grows to the superclass's size when it is smaller. 0, or
   -2 for a null class or one that would become its own ancestor. */
KIVO_EXPORT t_kivo_err class_subclass(t_class *superclass, t_class *c);

/*
 * Runs c's superclass's constructor with up to eight word arguments; the
 * allocation it makes gives an object of the class under construction. The
 * constructor's result, or null when c has no (registered) superclass or
 * that has no constructor. The macro pads the call with null words, like
 * object_method.
 */
KIVO_EXPORT void *class_super_construct(t_class *c, ...);
#define class_super_construct(...) \
    (class_super_construct)(__VA_ARGS__, (void *)0, (void *)0, (void *)0, (void *)0, (void *)0, \
                            (void *)0, (void *)0, (void *)0)
KIVO_EXPORT void *class_super_construct_imp(t_class *c, void *p1, void *p2, void *p3, void *p4,
                                            void *p5, void *p6, void *p7, void *p8);

/* Calls the superclass's method for s on x (the superclass of the class
   whose method is running on x, else of x's class). Its word result, or
   null after posting when there is no superclass or method. */
KIVO_EXPORT void *object_super_method(t_object *x, t_symbol *s, ...);
#define object_super_method(...) \
    (object_super_method)(__VA_ARGS__, (void *)0, (void *)0, (void *)0, (void *)0, (void *)0, \
                          (void *)0, (void *)0, (void *)0)
KIVO_EXPORT void *object_super_method_imp(t_object *x, t_symbol *s, void *p1, void *p2, void *p3,
                                          void *p4, void *p5, void *p6, void *p7, void *p8);

/* Calls the method for s of the class whose method is running on x (x's
   own class outside super calls). Its word result, or null after posting. */
KIVO_EXPORT void *object_this_method(t_object *x, t_symbol *s, ...);
#define object_this_method(...) \
    (object_this_method)(__VA_ARGS__, (void *)0, (void *)0, (void *)0, (void *)0, (void *)0, \
                         (void *)0, (void *)0, (void *)0)
KIVO_EXPORT void *object_this_method_imp(t_object *x, t_symbol *s, void *p1, void *p2, void *p3,
                                         void *p4, void *p5, void *p6, void *p7, void *p8);

/* Sets the calling thread's class stack of x (null for none), adding the
   "class_stack" attribute when it is missing. 0, -2 for a null object, -1
   when the attribute cannot be made. */
KIVO_EXPORT t_kivo_err object_class_stack_set(t_object *x, t_class *c);

/* The calling thread's inheritance stack: the class under construction, or
   null. */
KIVO_EXPORT t_class *class_inheritance_stack_get(void);
KIVO_EXPORT void class_inheritance_stack_set(t_class *c);

KIVO_END_C

#endif
