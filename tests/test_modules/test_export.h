/* What test_export offers to other test modules. */
#ifndef TEST_EXPORT_H
#define TEST_EXPORT_H
extern "C" int test_gpl_answer(void);
extern "C" int test_plain_answer(void);
#endif
