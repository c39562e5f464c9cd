"""lumetra: bias, performance and drift analyses of DataFrames, on the _lumetra engine."""
