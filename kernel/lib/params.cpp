// The standard "int" module parameter type.
#include <linux/kernel.h>
#include <linux/moduleparam.h>

namespace {
constexpr size_t kPageSize = 4096;
}

extern "C" {

int param_set_int(const char *val, const struct kernel_param *kp)
{
	return kstrtoint(val, 0, (int *)kp->arg);
}

int param_get_int(char *buffer, const struct kernel_param *kp)
{
	return scnprintf(buffer, kPageSize, "%i\n", *(const int *)kp->arg);
}

const struct kernel_param_ops param_ops_int = {
	0,
	param_set_int,
	param_get_int,
	NULL,
};

}  // extern "C"
