// The owner of the tests' precompiled header (testpch.h): nothing of its own.
