// The benchmarks' one statistic: the p-quantile of v, 0 for none.
#ifndef PERCENTILE_H
#define PERCENTILE_H

#include <algorithm>
#include <cstddef>
#include <vector>

inline double
percentile(std::vector<double> v, double p)
{
	if (v.empty())
		return 0;
	std::sort(v.begin(), v.end());
	return v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
}

#endif
