# Install rules and packaging: filled in below.
