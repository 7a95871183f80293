"""The release tools' library: one module per kind of data they read or write."""
